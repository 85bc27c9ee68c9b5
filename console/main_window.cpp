#include "console/main_window.h"

#include "console/plan_action.h"

#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTreeView>
#include <QVBoxLayout>
#include <cstring>

#include "console/qt_prompts.h"
#include "console/raw_send.h"
#include "console/raw_view.h"
#include "core/batch.h"
#include "core/bitmap.h"
#include "core/control_ids.h"
#include "core/file_signing.h"
#include "net/ipv4_text.h"

namespace veritor {

namespace {

// The dialog's layout is in dialog units of its original font, whose base
// units are 6 x 13 pixels: one unit is 1.5 px across and 1.625 px down.
int UnitsToX(int units) { return (units * 6 + 2) / 4; }
int UnitsToY(int units) { return (units * 13 + 4) / 8; }
QRect UnitsToRect(int x, int y, int w, int h) { return QRect(UnitsToX(x), UnitsToY(y), UnitsToX(w), UnitsToY(h)); }

constexpr int kDialogWidthUnits = 380;
constexpr int kDialogHeightUnits = 258;
// A closed combo box; the template's heights are those of the dropped list.
constexpr int kComboHeightUnits = 13;
constexpr size_t kMaxTypedCommand = 1999;
constexpr size_t kMaxFileName = 511;
constexpr size_t kMaxAddressText = 29;
constexpr int kNetworkEntry = 12, kTcpEntry = 13, kUdpEntry = 14;

enum class Kind { kButton, kLabel, kField, kGroup, kEdit, kCheck };

struct ControlSpec {
  int id;  // -1: no id
  Kind kind;
  const char* caption;
  int x, y, w, h;
};

constexpr ControlSpec kControls[] = {
    {kIdClearLog, Kind::kButton, "X", 4, 111, 10, 10},
    {-1, Kind::kLabel, "Request", 15, 115, 29, 12},
    {kIdRequestField, Kind::kField, "", 53, 115, 320, 12},
    {-1, Kind::kLabel, "Reply", 19, 128, 25, 12},
    {kIdReplyField, Kind::kField, "", 53, 129, 320, 12},
    {-1, Kind::kGroup, "Device status bits", 3, 143, 185, 45},
    {-1, Kind::kGroup, "Function status bits", 193, 143, 184, 45},
    {kIdCommandText, Kind::kEdit, "", 4, 193, 282, 13},
    {kIdSendCommand, Kind::kButton, "Send command", 307, 193, 67, 14},
    {kIdSignFileName, Kind::kEdit, "", 4, 209, 282, 13},
    {kIdBrowseSignFile, Kind::kButton, "..", 290, 210, 14, 12},
    {kIdSignFile, Kind::kButton, "Sign File", 307, 209, 67, 14},
    {kIdBatchFileName, Kind::kEdit, "", 4, 225, 282, 13},
    {kIdBrowseBatchFile, Kind::kButton, "..", 290, 226, 14, 12},
    {kIdRunBatch, Kind::kButton, "Run batch", 307, 225, 41, 14},
    {kIdBitmap, Kind::kButton, "BMP", 351, 225, 22, 14},
    {kIdDetails, Kind::kCheck, "Details", 4, 243, 40, 11},
    {kIdConnect, Kind::kButton, "Connect", 218, 242, 41, 14},
    {kIdRefresh, Kind::kButton, "Refresh", 262, 242, 42, 14},
    {kIdExit, Kind::kButton, "Exit", 307, 242, 67, 14},
};

struct StatusSpec {
  int x, y;  // the field
  const char* label;
  int label_x, label_y, label_w;
};

// Fields 1010 to 1025 from left to right; two fields have no label.
constexpr StatusSpec kStatusFields[] = {
    {11, 165, "bat", 8, 152, 20},    {33, 165, "fcon", 30, 152, 20},  {55, 165, "user", 51, 152, 20},
    {77, 165, "pcon", 74, 152, 20},  {99, 165, "cmos", 96, 152, 20},  {121, 165, "pend", 118, 152, 20},
    {143, 165, "fatal", 141, 152, 18}, {165, 165, "busy", 163, 152, 18}, {201, 166, "ffull", 197, 153, 20},
    {223, 166, "dfull", 220, 153, 17}, {245, 166, "fwarn", 242, 153, 20}, {269, 166, nullptr, 0, 0, 0},
    {291, 166, "rcvr", 290, 153, 16}, {313, 166, "sip", 312, 153, 15},  {335, 166, "day", 331, 153, 20},
    {357, 166, nullptr, 0, 0, 0},
};

QString Qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// Courier New where installed, else the system's monospace face, light, with
// a character cell 15 pixels high (not an em of 15 pixels).
QFont LogFont() {
  QFont font(QStringLiteral("Courier New"));
  font.setStyleHint(QFont::TypeWriter);
  if (!QFontDatabase::hasFamily(font.family())) font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setWeight(QFont::Light);
  for (int pixels = 15; pixels > 6; --pixels) {
    font.setPixelSize(pixels);
    if (QFontMetrics(font).height() <= 15) break;
  }
  return font;
}

constexpr int kFirstDeviceEntry = 15;
// How long what comes back after bytes sent as they are is listened for.
constexpr uint32_t kRawListenMs = 500;
// The commands sent that the next run can recall, as a shell keeps them.
constexpr long kKeptHistory = 500;
constexpr int kProgressSteps = 1000;
constexpr int kProgressIntervalMs = 200;

// A set status bit stands out; the field still reads "1".
const char kSetBitStyle[] = "QLabel { font-weight: bold; color: #a00000; background-color: #ffe070; }";

QSettings Settings() { return QSettings(QStringLiteral("Veritor"), QStringLiteral("veritor")); }

// "1:05" for 65 seconds.
QString Duration(uint64_t seconds) {
  return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

MainWindow::MainWindow(ConsoleEnvironment environment)
    : environment_(std::move(environment)),
      opener_(environment_.opener, tap_),
      network_(environment_.network, tap_) {
  setWindowTitle(QStringLiteral("Veritor v2.24n"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint);
  QFont dialog_font(QStringLiteral("MS Sans Serif"));
  dialog_font.setPixelSize(11);
  setFont(dialog_font);
  setSizeGripEnabled(true);
  run_started_ = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss")).toStdString();

  Prompts* prompts = environment_.prompts;
  if (prompts == nullptr) {
    auto qt_prompts = std::make_unique<QtPrompts>(this);
    // Esc at the Z report's question stops the exchange: nothing is sent.
    qt_prompts->SetEscapeAction([this] { stop_requested_ = true; });
    own_prompts_ = std::move(qt_prompts);
    prompts = own_prompts_.get();
  }
  prompts_ = std::make_unique<LoggingPrompts>(*prompts, log_);
  // A plan answers the Z report's signature question itself; otherwise the
  // operator is asked.
  plan_prompts_ = std::make_unique<PlanPrompts>(*prompts_, &log_);
  host_ = std::make_unique<Host>(Host{environment_.clock, environment_.pump, log_, *this, *plan_prompts_, state_, this});
  links_ = std::make_unique<ConsoleLinks>(*host_, opener_, network_, environment_.output_directory);
  ask_bytes = [this]() -> std::optional<std::string> {
    bool ok = false;
    const QString text = QInputDialog::getText(this, QStringLiteral("Send bytes"),
                                               QStringLiteral("Bytes in hex, sent as they are:"), QLineEdit::Normal,
                                               QString(), &ok);
    if (!ok) return std::nullopt;
    return text.toStdString();
  };
  ask_save_path = [this] {
    return QFileDialog::getSaveFileName(this, QStringLiteral("Save log"), QStringLiteral("veritor-log.txt"),
                                        QStringLiteral("Text files (*.txt *.log);;All files (*)"))
        .toStdString();
  };
  // Said in a box (which the log records) once the flush under way is over.
  log_model_.log_file_failed = [this](int error) {
    const std::string text = "Cannot write the log file '" + log_file_path_ + "': " + std::strerror(error) +
                             "; the log goes on in the window only";
    log_file_path_.clear();
    QMetaObject::invokeMethod(this, [this, text] { host_->prompts.ErrorBox(text); }, Qt::QueuedConnection);
  };
  CreateMenus();
  CreateControls();
  PlaceControls();
  ConnectSignals();
  KeepFocusMarked();
  InitMainWindow();
  log_model_.SetCodePage(environment_.code_page);
  links_->z_report().SetCodePage(environment_.code_page);
  LoadSettings();
}

// Qt marks the focused control only after a Tab; here it is marked however the
// focus came, so that Space never presses a button the operator cannot see.
void MainWindow::KeepFocusMarked() {
  setAttribute(Qt::WA_KeyboardFocusChange);
  connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
    if (now == nullptr || now->window() != this) return;
    setAttribute(Qt::WA_KeyboardFocusChange);
    now->update();
  });
}

void MainWindow::SetCodePage(const CodePage& page) {
  environment_.code_page = page;
  log_model_.SetCodePage(page);
  links_->z_report().SetCodePage(page);
}

MainWindow::~MainWindow() {
  // The children die after this object: their signals must not reach it.
  log_view_->verticalScrollBar()->disconnect(this);
  QObject::disconnect(qApp, nullptr, this, nullptr);
}

QWidget* MainWindow::Control(int id) const {
  const auto found = controls_.find(id);
  return found == controls_.end() ? nullptr : found->second;
}

QAction* MainWindow::Action(const QString& name) const {
  const auto found = actions_.find(name);
  return found == actions_.end() ? nullptr : found->second;
}

void MainWindow::CreateMenus() {
  menu_bar_ = new QMenuBar(this);
  auto add = [this](QMenu* menu, const QString& name, QKeySequence keys, auto slot) {
    QAction* action = menu->addAction(name);
    action->setShortcut(keys);
    connect(action, &QAction::triggered, this, slot);
    actions_[name] = action;
    return action;
  };
  QMenu* file = menu_bar_->addMenu(QStringLiteral("&File"));
  add(file, QStringLiteral("Save log..."), QKeySequence::Save, [this] { SaveLogAs(); });
  add(file, QStringLiteral("Settings..."), QKeySequence(), [this] { OpenSettingsDialog(); });
  file->addSeparator();
  add(file, QStringLiteral("Exit"), QKeySequence(Qt::CTRL | Qt::Key_Q), [this] { Exit(); });

  QMenu* edit = menu_bar_->addMenu(QStringLiteral("&Edit"));
  add(edit, QStringLiteral("Copy"), QKeySequence::Copy, [this] { CopyFocused(); });
  add(edit, QStringLiteral("Select all"), QKeySequence::SelectAll, [this] { log_view_->selectAll(); });
  add(edit, QStringLiteral("Clear log"), QKeySequence(), [this] { log_model_.Clear(); });

  QMenu* view = menu_bar_->addMenu(QStringLiteral("&View"));
  QAction* times = add(view, QStringLiteral("Timestamps"), QKeySequence(Qt::CTRL | Qt::Key_T),
                       [this](bool on) { ShowTimestamps(on); });
  times->setCheckable(true);
  QAction* raw = add(view, QStringLiteral("Raw bytes"), QKeySequence(Qt::CTRL | Qt::Key_R),
                     [this](bool on) { ShowRawBytes(on); });
  raw->setCheckable(true);
  QAction* pause = add(view, QStringLiteral("Pause raw bytes"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R),
                       [this](bool on) { raw_view_->SetPaused(on); });
  pause->setCheckable(true);
  auto* directions = new QActionGroup(this);
  const std::pair<const char*, std::pair<bool, bool>> shown[] = {{"Raw bytes both ways", {true, true}},
                                                                 {"Raw bytes sent only", {true, false}},
                                                                 {"Raw bytes received only", {false, true}}};
  for (const auto& [name, ways] : shown) {
    QAction* way = add(view, QString::fromLatin1(name), QKeySequence(),
                       [this, ways] { raw_view_->ShowDirections(ways.first, ways.second); });
    way->setCheckable(true);
    way->setChecked(ways.first && ways.second);
    directions->addAction(way);
  }

  device_menu_ = menu_bar_->addMenu(QStringLiteral("&Device"));
  add(device_menu_, QStringLiteral("Refresh"), QKeySequence(Qt::Key_F5), [this] {
    if (Control(kIdRefresh)->isEnabled()) RefreshStatus();
  });
  QAction* stop = add(device_menu_, QStringLiteral("Stop"), QKeySequence(Qt::Key_Escape), [this] { RequestStop(); });
  stop->setEnabled(false);
  device_menu_->addSeparator();
  add(device_menu_, QStringLiteral("Run plan..."), QKeySequence(Qt::CTRL | Qt::Key_P), [this] {
    if (Control(kIdRunBatch)->isEnabled()) RunPlan();
  });
  add(device_menu_, QStringLiteral("Send bytes..."), QKeySequence(), [this] { SendTypedBytes(); });
}

// Bytes typed in hex go out on the open link as they are, for probing how a
// device takes what is not a request; the raw view shows them and the answer.
void MainWindow::SendTypedBytes() {
  if (state_.TransactionInProgress || long_action_) return;
  if (!state_.Connected) {
    host_->prompts.ErrorBox("Not connected!");
    return;
  }
  const std::optional<std::string> typed = ask_bytes ? ask_bytes() : std::nullopt;
  if (!typed) return;
  const std::optional<std::string> bytes = ParseHexBytes(*typed);
  if (!bytes) {
    host_->prompts.ErrorBox("'" + *typed + "' is not bytes in hex, such as 02 76 2F 36 35 03");
    return;
  }
  RawSendOutcome outcome;
  RunExchange([&] { outcome = SendRawBytes(*host_, *links_, *bytes, kRawListenMs); });
  if (!outcome.sent)
    log_.LogMessage("Bytes not sent: %s", outcome.error.c_str());
  else
    log_.LogMessage("Sent %zu byte(s) as they are; %zu came back within %u ms", bytes->size(), outcome.received,
                    kRawListenMs);
}

void MainWindow::RunPlan() {
  if (state_.TransactionInProgress || long_action_) return;
  const std::optional<std::string> path = host_->prompts.BrowseForFile("*", "Select plan");
  if (!path) return;
  RunLongAction("Plan", [&] {
    return RunPlanFile(*host_, *links_, *path, Details(), plan_prompts_.get(), &environment_.code_page);
  });
}

void MainWindow::CreateLogArea() {
  log_area_ = new QWidget(this);
  auto* column = new QVBoxLayout(log_area_);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(2);
  log_splitter_ = new QSplitter(Qt::Vertical, log_area_);
  log_view_ = new QTreeView(log_splitter_);
  raw_view_ = new RawByteView(log_splitter_);
  raw_view_->setFont(LogFont());
  raw_view_->hide();
  log_splitter_->setChildrenCollapsible(false);
  column->addWidget(log_splitter_, 1);

  progress_row_ = new QWidget(log_area_);
  auto* row = new QHBoxLayout(progress_row_);
  row->setContentsMargins(0, 0, 0, 0);
  progress_bar_ = new QProgressBar(progress_row_);
  progress_bar_->setRange(0, kProgressSteps);
  progress_bar_->setTextVisible(false);
  progress_bar_->setMaximumHeight(14);
  progress_label_ = new QLabel(progress_row_);
  stop_button_ = new QPushButton(QStringLiteral("Stop"), progress_row_);
  stop_button_->setAutoDefault(false);
  stop_button_->setToolTip(QStringLiteral("Stop after the exchange in flight (Esc)"));
  stop_button_->setEnabled(false);
  row->addWidget(progress_bar_, 1);
  row->addWidget(progress_label_, 2);
  row->addWidget(stop_button_);
  progress_row_->hide();
  column->addWidget(progress_row_);
  log_area_->setGeometry(UnitsToRect(4, 6, 369, 106));
  progress_timer_.setInterval(kProgressIntervalMs);
  connect(&progress_timer_, &QTimer::timeout, this, [this] { UpdateProgress(); });
  connect(stop_button_, &QPushButton::clicked, this, [this] { RequestStop(); });
}

void MainWindow::CreateControls() {
  CreateLogArea();
  log_view_->setModel(&log_model_);
  log_view_->setRootIsDecorated(false);
  log_view_->setItemsExpandable(false);
  log_view_->setUniformRowHeights(true);
  log_view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  log_view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  log_view_->setFont(LogFont());
  log_view_->header()->setFont(font());
  log_view_->header()->setStretchLastSection(false);
  log_view_->header()->resizeSection(0, 2000);
  log_view_->setFrameShadow(QFrame::Sunken);
  log_model_.AttachView(log_view_);
  // At the bottom the log stays at the bottom through any change of layout
  // (the progress row, the raw view); scrolled up, it stays where it is.
  QScrollBar* bar = log_view_->verticalScrollBar();
  connect(bar, &QScrollBar::valueChanged, this, [this, bar](int value) { log_at_bottom_ = value >= bar->maximum(); });
  connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
    if (log_at_bottom_) bar->setValue(maximum);
  });
  controls_[kIdMessageLog] = log_view_;

  for (const ControlSpec& spec : kControls) {
    QWidget* widget = nullptr;
    const QString caption = QString::fromLatin1(spec.caption);
    switch (spec.kind) {
      case Kind::kButton: {
        auto* button = new QPushButton(caption, this);
        button->setAutoDefault(false);
        widget = button;
        break;
      }
      case Kind::kLabel: {
        auto* label = new QLabel(caption, this);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        widget = label;
        break;
      }
      case Kind::kField: {
        auto* field = new QLabel(this);
        field->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        field->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        field->setTextFormat(Qt::PlainText);
        widget = field;
        break;
      }
      case Kind::kGroup:
        widget = new QGroupBox(caption, this);
        widget->lower();  // behind the fields it frames
        break;
      case Kind::kEdit: {
        auto* edit = new QLineEdit(this);
        edit->setMaxLength(static_cast<int>(spec.id == kIdCommandText ? kMaxTypedCommand : kMaxFileName));
        widget = edit;
        break;
      }
      case Kind::kCheck:
        widget = new QCheckBox(caption, this);
        break;
    }
    widget->setGeometry(UnitsToRect(spec.x, spec.y, spec.w, spec.h));
    if (spec.id >= 0) controls_[spec.id] = widget;
  }
  for (int id : {kIdRequestField, kIdReplyField}) {
    auto* field = static_cast<QLabel*>(Control(id));
    field->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    field->setCursor(Qt::IBeamCursor);
    auto* copy = new QAction(QStringLiteral("Copy"), field);
    connect(copy, &QAction::triggered, this, [field] { CopyFieldText(field); });
    field->addAction(copy);
    field->setContextMenuPolicy(Qt::ActionsContextMenu);
  }
  for (int i = 0; i < 16; ++i) {
    const StatusSpec& spec = kStatusFields[i];
    auto* field = new QLabel(i == 11 || i == 15 ? QStringLiteral("--") : QStringLiteral("0"), this);
    field->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    field->setAlignment(Qt::AlignCenter);
    field->setGeometry(UnitsToRect(spec.x, spec.y, 14, 13));
    controls_[kIdFirstStatusBit + i] = field;
    if (spec.label == nullptr) continue;
    auto* label = new QLabel(QString::fromLatin1(spec.label), this);
    label->setAlignment(Qt::AlignCenter);
    label->setGeometry(UnitsToRect(spec.label_x, spec.label_y, spec.label_w, 11));
  }
  port_list_ = new QComboBox(this);
  port_list_->setGeometry(UnitsToRect(51, 242, 72, kComboHeightUnits));
  port_list_->setMaxVisibleItems(15);
  // The list shows what each entry opens beside its name.
  port_list_->setModel(new QStandardItemModel(0, 2, port_list_));
  auto* port_view = new QTreeView(port_list_);
  port_view->setHeaderHidden(true);
  port_view->setRootIsDecorated(false);
  port_view->setItemsExpandable(false);
  port_view->setAllColumnsShowFocus(true);
  port_list_->setView(port_view);
  controls_[kIdPortList] = port_list_;
  speed_or_address_ = new QComboBox(this);
  speed_or_address_->setEditable(true);
  speed_or_address_->setInsertPolicy(QComboBox::NoInsert);
  speed_or_address_->setGeometry(UnitsToRect(128, 242, 84, kComboHeightUnits));
  controls_[kIdSpeedOrAddress] = speed_or_address_;
}

// The dialog's controls keep their places below the menu bar; the log area
// takes what the window grows by, the Request and Reply lines its width, and
// everything below the log moves down with the bottom edge.
void MainWindow::PlaceControls() {
  const int top = menu_bar_->sizeHint().height();
  for (QObject* child : children()) {
    auto* widget = qobject_cast<QWidget*>(child);
    if (widget == nullptr || widget == menu_bar_ || widget->isWindow()) continue;
    Anchor anchor = Anchor::kBottom;
    if (widget == log_area_) anchor = Anchor::kFill;
    if (widget == Control(kIdRequestField) || widget == Control(kIdReplyField)) anchor = Anchor::kStretch;
    if (widget == Control(kIdCommandText) || widget == Control(kIdSignFileName) || widget == Control(kIdBatchFileName))
      anchor = Anchor::kStretch;
    // The buttons beside those fields and below them keep to the right edge.
    if (widget->geometry().y() >= UnitsToY(193) && widget->geometry().x() >= UnitsToX(218))
      anchor = Anchor::kBottomRight;
    placed_.push_back({widget, widget->geometry().translated(0, top), anchor});
  }
  const QSize base(UnitsToX(kDialogWidthUnits), UnitsToY(kDialogHeightUnits) + top);
  setMinimumSize(base);
  resize(base);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (menu_bar_ == nullptr || placed_.empty()) return;
  const int top = menu_bar_->sizeHint().height();
  menu_bar_->setGeometry(0, 0, width(), top);
  const int grow_x = std::max(0, width() - UnitsToX(kDialogWidthUnits));
  const int grow_y = std::max(0, height() - UnitsToY(kDialogHeightUnits) - top);
  for (const Placed& placed : placed_) {
    QRect rect = placed.base;
    switch (placed.anchor) {
      case Anchor::kFill: rect.adjust(0, 0, grow_x, grow_y); break;
      case Anchor::kStretch: rect.adjust(0, grow_y, grow_x, grow_y); break;
      case Anchor::kBottom: rect.translate(0, grow_y); break;
      case Anchor::kBottomRight: rect.translate(grow_x, grow_y); break;
    }
    placed.widget->setGeometry(rect);
  }
}

void MainWindow::ConnectSignals() {
  auto on_click = [this](int id, void (MainWindow::*action)()) {
    connect(static_cast<QPushButton*>(Control(id)), &QPushButton::clicked, this, action);
  };
  on_click(kIdSendCommand, &MainWindow::SendTypedCommand);
  on_click(kIdSignFile, &MainWindow::SignChosenFile);
  on_click(kIdExit, &MainWindow::Exit);
  on_click(kIdConnect, &MainWindow::ConnectOrDisconnect);
  on_click(kIdRefresh, &MainWindow::RefreshStatus);
  on_click(kIdRunBatch, &MainWindow::RunBatch);
  on_click(kIdBitmap, &MainWindow::UploadBitmapFile);
  connect(static_cast<QPushButton*>(Control(kIdClearLog)), &QPushButton::clicked, this, [this] { log_model_.Clear(); });
  connect(static_cast<QPushButton*>(Control(kIdBrowseSignFile)), &QPushButton::clicked, this,
          [this] { Browse(kIdSignFileName, "*"); });
  connect(static_cast<QPushButton*>(Control(kIdBrowseBatchFile)), &QPushButton::clicked, this,
          [this] { Browse(kIdBatchFileName, "*.txt"); });
  connect(port_list_, &QComboBox::activated, this, [this](int index) {
    if (state_.TransactionInProgress) {
      port_list_->setCurrentIndex(taken_port_entry_);
      return;
    }
    taken_port_entry_ = index;
    OnPortSelected();
  });
  auto* command = static_cast<QLineEdit*>(Control(kIdCommandText));
  connect(command, &QLineEdit::returnPressed, this, [this] {
    if (Control(kIdSendCommand)->isEnabled()) SendTypedCommand();
  });
  command->installEventFilter(this);
  log_view_->setContextMenuPolicy(Qt::ActionsContextMenu);
  log_view_->addActions({Action(QStringLiteral("Copy")), Action(QStringLiteral("Select all")),
                         Action(QStringLiteral("Save log...")), Action(QStringLiteral("Clear log"))});
  connect(speed_or_address_, &QComboBox::activated, this, [this](int index) { chosen_entry_ = index; });
  connect(speed_or_address_->lineEdit(), &QLineEdit::textEdited, this, [this] { chosen_entry_ = -1; });
}

void MainWindow::InitMainWindow() {
  state_ = ConsoleState{};
  SetEnabled({kIdSendCommand, kIdSignFile, kIdRefresh, kIdBitmap, kIdRunBatch}, false);
  SetEnabled({kIdConnect, kIdExit}, true);
  FillPortList();
  port_list_->setCurrentIndex(0);
  static_cast<QCheckBox*>(Control(kIdDetails))->setChecked(true);
  log_.LogMessage("Veritor started");
  FillBaudRates();
}

// COM1 to COM12 with the device each opens, the network links, then the
// serial devices present, by path with their by-id names.
void MainWindow::FillPortList() {
  auto* model = static_cast<QStandardItemModel*>(port_list_->model());
  auto add = [model](const QString& name, const QString& detail) {
    QList<QStandardItem*> row{new QStandardItem(name), new QStandardItem(detail)};
    row[1]->setForeground(QBrush(Qt::darkGray));
    model->appendRow(row);
  };
  for (int port = 1; port <= 12; ++port) add(QStringLiteral("COM%1").arg(port), Qs(ComPortPath(port)));
  add(QStringLiteral("Network"), QStringLiteral("SDNP"));
  add(QStringLiteral("TCP"), {});
  add(QStringLiteral("UDP"), {});
  devices_ = ListSerialDevices();
  for (const SerialDeviceEntry& device : devices_)
    add(Qs(device.path), device.by_id.empty() ? QString() : Qs(device.by_id.front()));
  auto* view = static_cast<QTreeView*>(port_list_->view());
  view->resizeColumnToContents(0);
  view->resizeColumnToContents(1);
  view->setMinimumWidth(view->columnWidth(0) + view->columnWidth(1) + 24);
}

void MainWindow::SetEnabled(std::initializer_list<int> ids, bool enabled) {
  for (int id : ids) Control(id)->setEnabled(enabled);
}

void MainWindow::SetFieldText(int control_id, std::string_view text) {
  if (auto* field = qobject_cast<QLabel*>(Control(control_id))) {
    // A field shows the device's text up to the first NUL, through its code page.
    QString shown = Qs(environment_.code_page.ToUtf8(text.substr(0, text.find('\0'))));
    // A line break would draw the line half out of its field: it is named instead.
    shown.replace(QLatin1Char('\n'), QChar(0x240A)).replace(QLatin1Char('\r'), QChar(0x240D));
    if (field->text() != shown) field->setText(shown);
    if (control_id >= kIdFirstStatusBit && control_id <= kIdLastStatusBit) {
      const bool set = shown == QLatin1String("1");
      bool& was_set = bit_set_[static_cast<size_t>(control_id - kIdFirstStatusBit)];
      if (was_set != set) {
        was_set = set;
        field->setStyleSheet(set ? QString::fromLatin1(kSetBitStyle) : QString());
        if (!set) field->setFont(font());  // a removed style sheet leaves the application's font behind
      }
    }
  }
}

std::string MainWindow::FieldText(int id) const {
  return static_cast<QLineEdit*>(Control(id))->text().toStdString();
}

bool MainWindow::Details() const { return static_cast<QCheckBox*>(Control(kIdDetails))->isChecked(); }

void MainWindow::OnPortSelected() {
  switch (port_list_->currentIndex()) {
    case kNetworkEntry: DetectNetworkDevices(); break;
    case kTcpEntry: PrepareNetworkEntry("Init TCP OK:"); break;
    case kUdpEntry: PrepareNetworkEntry("Init UDP OK:"); break;
    default: FillBaudRates();
  }
}

void MainWindow::FillBaudRates() {
  speed_or_address_->clear();
  for (unsigned long speed : kSerialSpeeds) speed_or_address_->addItem(QString::number(speed));
  speed_or_address_->setCurrentIndex(4);
  chosen_entry_ = 4;
}

void MainWindow::DetectNetworkDevices() {
  speed_or_address_->clear();
  chosen_entry_ = -1;
  SetEnabled({kIdPortList, kIdSpeedOrAddress}, true);
  SetEnabled({kIdSendCommand, kIdSignFile, kIdRefresh, kIdConnect, kIdExit}, false);
  {
    TransactionGuard in_progress(state_);
    std::vector<Ipv4Address> devices;
    if (links_->DetectNetworkDevices(devices))
      for (Ipv4Address device : devices) speed_or_address_->addItem(Qs(FormatIpv4(device)));
  }
  if (FinishPendingClose()) return;
  if (speed_or_address_->count() > 0) {
    speed_or_address_->setCurrentIndex(0);
    chosen_entry_ = 0;
  } else {
    speed_or_address_->setEditText({});
  }
  static_cast<QPushButton*>(Control(kIdConnect))->setText(QStringLiteral("Connect"));
  SetEnabled({kIdSendCommand, kIdSignFile, kIdRefresh, kIdRunBatch}, false);
  SetEnabled({kIdConnect, kIdExit, kIdPortList, kIdSpeedOrAddress}, true);
  state_.Connected = false;
}

void MainWindow::PrepareNetworkEntry(const char* message) {
  speed_or_address_->clear();
  speed_or_address_->setEditText({});
  chosen_entry_ = -1;
  SetEnabled({kIdPortList, kIdSpeedOrAddress}, true);
  SetEnabled({kIdSendCommand, kIdSignFile, kIdRefresh, kIdConnect, kIdExit}, false);
  log_.LogMessage("%s", message);
  static_cast<QPushButton*>(Control(kIdConnect))->setText(QStringLiteral("Connect"));
  SetEnabled({kIdSendCommand, kIdSignFile, kIdRefresh, kIdRunBatch}, false);
  SetEnabled({kIdConnect, kIdExit, kIdPortList, kIdSpeedOrAddress}, true);
  state_.Connected = false;
}

// The speed chosen from the list, or a typed one when it is a number of bits
// per second; anything else is refused.
bool MainWindow::ReadSerialSpeed(unsigned long& speed) {
  if (chosen_entry_ >= 0 && chosen_entry_ < static_cast<int>(std::size(kSerialSpeeds)) &&
      speed_or_address_->currentText() == speed_or_address_->itemText(chosen_entry_)) {
    speed = kSerialSpeeds[chosen_entry_];
    return true;
  }
  const QString typed = speed_or_address_->currentText().trimmed();
  bool number = false;
  speed = typed.toULong(&number);
  if (number && speed >= 50 && speed <= 4000000) return true;
  host_->prompts.ErrorBox("Speed '" + typed.toStdString() + "' is not a number of bits per second");
  return false;
}

std::string MainWindow::ReadDeviceAddressText() const {
  if (chosen_entry_ >= 0 && chosen_entry_ < speed_or_address_->count())
    return speed_or_address_->itemText(chosen_entry_).toStdString();
  return speed_or_address_->currentText().left(static_cast<int>(kMaxAddressText)).toStdString();
}

void MainWindow::Disconnect() {
  links_->Disconnect();
  static_cast<QPushButton*>(Control(kIdConnect))->setText(QStringLiteral("Connect"));
  SetEnabled({kIdSendCommand, kIdSignFile, kIdRefresh, kIdRunBatch, kIdBitmap}, false);
  SetEnabled({kIdConnect, kIdPortList, kIdSpeedOrAddress}, true);
  state_.Connected = false;
}

void MainWindow::ConnectOrDisconnect() {
  if (state_.TransactionInProgress) return;
  if (state_.Connected) {
    Disconnect();
    return;
  }
  const int entry = port_list_->currentIndex();
  // A serial device chosen by its path opens in the place of COM1.
  const bool device_path = entry >= kFirstDeviceEntry && entry - kFirstDeviceEntry < static_cast<int>(devices_.size());
  const int link = device_path ? 1 : entry + 1;
  opener_.SetDevicePath(1, device_path ? devices_[static_cast<size_t>(entry - kFirstDeviceEntry)].path : std::string());
  if (device_path) log_.LogMessage("COM1 opens %s", devices_[static_cast<size_t>(entry - kFirstDeviceEntry)].path.c_str());
  state_.ActiveLink = link;
  unsigned long speed = 0;
  if (!IsNetworkLink(link) && !ReadSerialSpeed(speed)) return;
  const std::string address = IsNetworkLink(link) ? ReadDeviceAddressText() : std::string();
  SetEnabled({kIdConnect}, false);
  ConsoleLinks::ConnectOutcome outcome{};
  RunExchange([&] { outcome = links_->Connect(link, speed, address, Details()); });
  if (state_.QuitRequested) return;
  // The operator types next, whatever the outcome; the disabled Connect
  // would otherwise hand the focus on to Exit.
  Control(kIdCommandText)->setFocus(Qt::OtherFocusReason);
  if (!outcome.connected) {
    SetEnabled({kIdConnect}, true);
    return;
  }
  static_cast<QPushButton*>(Control(kIdConnect))->setText(QStringLiteral("Disconnect"));
  SetEnabled({kIdSendCommand, kIdSignFile, kIdConnect, kIdRefresh, kIdRunBatch, kIdBitmap}, true);
  SetEnabled({kIdPortList, kIdSpeedOrAddress}, false);
  state_.Connected = true;
}

void MainWindow::SendTypedCommand() {
  if (state_.TransactionInProgress) return;
  const QString typed = static_cast<QLineEdit*>(Control(kIdCommandText))->text();
  if (!typed.isEmpty() && (history_.empty() || history_.back() != typed)) history_.push_back(typed);
  history_at_ = history_.size();
  const std::optional<std::string> request = EncodeRequest(environment_.code_page, log_, FieldText(kIdCommandText));
  if (!request) return;
  RunExchange([&] {
    std::string data;
    links_->executor().ExecuteCommand(*request, data, Details());
  });
}

// Up and Down in the command field walk the commands sent, as a terminal does;
// past the newest the field is empty.
void MainWindow::RecallCommand(int step) {
  if (history_.empty()) return;
  if (step < 0 && history_at_ > 0) --history_at_;
  if (step > 0 && history_at_ < history_.size()) ++history_at_;
  static_cast<QLineEdit*>(Control(kIdCommandText))
      ->setText(history_at_ < history_.size() ? history_[history_at_] : QString());
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Control(kIdCommandText) && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      RecallCommand(key == Qt::Key_Up ? -1 : 1);
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void MainWindow::RefreshStatus() {
  if (state_.TransactionInProgress) return;
  if (!state_.Connected) {
    host_->prompts.ErrorBox("Not connected!");
    return;
  }
  RunExchange([&] {
    std::string data;
    links_->executor().ExecuteCommand("?", data, Details());
  });
}

void MainWindow::RunBatch() {
  const std::string path = FieldText(kIdBatchFileName);
  const ActionOutcome outcome =
      RunLongAction("Batch", [&] { return RunBatchFile(*host_, links_->executor(), path, Details()); });
  if (outcome == ActionOutcome::kAnswered) {
    const double seconds = static_cast<uint32_t>(host_->clock.GetTickCount() - action_start_) / 1000.0;
    log_.LogMessage("Batch done: %llu lines in %.1f s", static_cast<unsigned long long>(progress_.done), seconds);
  }
}

void MainWindow::SignChosenFile() {
  const std::string path = FieldText(kIdSignFileName);
  RunLongAction("Signing", [&] { return SignFile(*host_, links_->executor(), path, Details()); });
}

void MainWindow::UploadBitmapFile() {
  // No file dialog in the middle of another exchange.
  if (state_.TransactionInProgress) return;
  // Cancel uploads nothing, whatever the field holds.
  if (!Browse(kIdBatchFileName, "*.bmp")) return;
  prompts_->SetRefusal("Bitmap refused");
  RunLongAction("Upload",
                [&] { return veritor::UploadBitmapFile(*host_, links_->executor(), FieldText(kIdBatchFileName), Details()); });
  prompts_->SetRefusal({});
}

// Runs a batch, signing run or upload with its progress shown and Stop
// offered; a close asked for meanwhile takes effect once it has stopped.
ActionOutcome MainWindow::RunLongAction(const char* name, const std::function<ActionOutcome()>& action) {
  if (state_.TransactionInProgress || long_action_) return ActionOutcome::kIgnored;
  long_action_ = true;
  stop_requested_ = false;
  action_name_ = name;
  progress_ = ActionProgress{};
  action_start_ = host_->clock.GetTickCount();
  progress_bar_->setValue(0);
  progress_label_->setText(QString::fromLatin1(name));
  stop_button_->setEnabled(true);
  progress_row_->show();
  Action(QStringLiteral("Stop"))->setEnabled(true);
  const std::vector<QWidget*> held = HoldDeviceControls();
  stop_button_->setFocus(Qt::OtherFocusReason);
  progress_timer_.start();
  const ActionOutcome outcome = action();
  progress_timer_.stop();
  progress_row_->hide();
  stop_button_->setEnabled(false);
  Action(QStringLiteral("Stop"))->setEnabled(false);
  long_action_ = false;
  stop_requested_ = false;
  if (FinishPendingClose()) return outcome;
  ReleaseDeviceControls(held);
  return outcome;
}

// While a long action runs, the controls that would start another exchange
// or drop the link are shown disabled, with their menu entries.
std::vector<QWidget*> MainWindow::HoldDeviceControls() {
  focus_before_action_ = focusWidget();
  std::vector<QWidget*> held;
  for (int id : {kIdSendCommand, kIdSignFile, kIdRefresh, kIdRunBatch, kIdBitmap, kIdConnect}) {
    if (!Control(id)->isEnabled()) continue;
    Control(id)->setEnabled(false);
    held.push_back(Control(id));
  }
  for (const char* name : {"Refresh", "Run plan...", "Send bytes..."})
    if (QAction* action = Action(QString::fromLatin1(name))) action->setEnabled(false);
  return held;
}

void MainWindow::ReleaseDeviceControls(const std::vector<QWidget*>& held) {
  for (QWidget* widget : held) widget->setEnabled(true);
  for (const char* name : {"Refresh", "Run plan...", "Send bytes..."})
    if (QAction* action = Action(QString::fromLatin1(name))) action->setEnabled(true);
  if (focus_before_action_ != nullptr && focus_before_action_->isEnabled())
    focus_before_action_->setFocus(Qt::OtherFocusReason);
  else
    Control(kIdCommandText)->setFocus(Qt::OtherFocusReason);
  focus_before_action_ = nullptr;
}

// One exchange started by a button (Connect, Send, Refresh): the shared stop
// reaches it, which ends a device's BUSY repeat, and a close asked meanwhile
// is done when it ends.
void MainWindow::RunExchange(const std::function<void()>& exchange) {
  exchange_running_ = true;
  stop_requested_ = false;
  Action(QStringLiteral("Stop"))->setEnabled(true);
  exchange();
  Action(QStringLiteral("Stop"))->setEnabled(false);
  exchange_running_ = false;
  stop_requested_ = false;
  FinishPendingClose();
}

// True when the window closed.
bool MainWindow::FinishPendingClose() {
  if (!close_after_action_ || state_.QuitRequested) return state_.QuitRequested;
  if (long_action_ || state_.TransactionInProgress) return false;
  Exit();
  return state_.QuitRequested;
}

void MainWindow::ReportProgress(const ActionProgress& progress) { progress_ = progress; }

void MainWindow::RequestStop() {
  if (!(long_action_ || exchange_running_) || stop_requested_) return;
  stop_requested_ = true;
  if (!long_action_) return;
  if (stop_button_->hasFocus()) Control(kIdCommandText)->setFocus(Qt::OtherFocusReason);
  stop_button_->setEnabled(false);
  progress_label_->setText(QStringLiteral("Stopping after the exchange in flight..."));
}

// The bar and its words, a few times a second: the share done by count where
// the total is known, else by bytes, and the time left from the pace so far.
void MainWindow::UpdateProgress() {
  if (stop_requested_) return;
  const ActionProgress& p = progress_;
  double share = -1;
  if (p.total > 0) share = static_cast<double>(p.done) / static_cast<double>(p.total);
  else if (p.bytes_total > 0) share = static_cast<double>(p.bytes_done) / static_cast<double>(p.bytes_total);
  share = std::min(share, 1.0);
  QString text = QStringLiteral("%1: %2 %3").arg(QString::fromLatin1(action_name_)).arg(p.done).arg(QString::fromLatin1(p.unit));
  if (p.total > 0) text += QStringLiteral(" of %1").arg(p.total);
  if (p.bytes_total > 0) text += QStringLiteral(", %1 of %2 bytes").arg(p.bytes_done).arg(p.bytes_total);
  const uint32_t elapsed_ms = host_->clock.GetTickCount() - action_start_;
  if (share > 0) {
    progress_bar_->setRange(0, kProgressSteps);
    progress_bar_->setValue(static_cast<int>(share * kProgressSteps));
    const double left = elapsed_ms / 1000.0 * (1 - share) / share;
    text += QStringLiteral(", %1 left").arg(Duration(static_cast<uint64_t>(left + 0.5)));
  } else {
    progress_bar_->setRange(0, 0);  // busy, no end known
  }
  progress_label_->setText(text);
}

bool MainWindow::Browse(int field, const char* pattern) {
  if (auto* qt_prompts = dynamic_cast<QtPrompts*>(own_prompts_.get())) qt_prompts->SetStartPath(FieldText(field));
  const std::optional<std::string> path = host_->prompts.BrowseForFile(pattern, "Select file");
  if (path) static_cast<QLineEdit*>(Control(field))->setText(Qs(*path));
  return path.has_value();
}

// A close asked during an exchange is remembered and done when it ends (a
// long action stops first); asked again, the operator may leave at once.
bool MainWindow::ShutdownConsole() {
  if (state_.QuitRequested) return false;
  if (long_action_ || state_.TransactionInProgress) {
    if (!close_after_action_) {
      close_after_action_ = true;
      log_.LogMessage("Exit after the exchange under way");
      RequestStop();
    } else if (host_->prompts.AskYesNo("Exit", "An exchange is under way. Leave now, without waiting for it?")) {
      LeaveDuringExchange();
    }
    return false;
  }
  SaveSettings();
  links_->CloseAll();
  CloseLogFile();
  state_.QuitRequested = true;
  return true;
}

// The window goes at once; the exchange under way is told to stop and ends
// within its time-outs, and the link is closed with the window.
void MainWindow::LeaveDuringExchange() {
  stop_requested_ = true;
  SaveSettings();
  log_.LogMessage("Exit without waiting for the exchange under way");
  CloseLogFile();
  state_.QuitRequested = true;
  QDialog::done(0);
}

void MainWindow::CloseLogFile() {
  log_.LogMessage("Veritor closed");
  log_model_.Flush();
  log_model_.SetLogFile(nullptr);
}

void MainWindow::Exit() {
  if (ShutdownConsole()) QDialog::done(0);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (state_.QuitRequested) {
    event->accept();
  } else if (ShutdownConsole()) {
    event->accept();
    QDialog::done(0);
  } else {
    event->ignore();
  }
}

void MainWindow::reject() { RequestStop(); }

// Ctrl+C copies what has the focus: the Request or Reply line, the raw view's
// selection, else the selected log entries.
void MainWindow::CopyFocused() {
  QWidget* focus = QApplication::focusWidget();
  if (auto* field = qobject_cast<QLabel*>(focus)) {
    CopyFieldText(field);
  } else if (focus == raw_view_) {
    raw_view_->copy();
  } else {
    CopySelectedEntries();
  }
}

void MainWindow::CopyFieldText(QLabel* field) {
  const QString text = field->hasSelectedText() ? field->selectedText() : field->text();
  if (!text.isEmpty()) QApplication::clipboard()->setText(text);
}

void MainWindow::CopySelectedEntries() {
  std::vector<int> rows;
  for (const QModelIndex& index : log_view_->selectionModel()->selectedRows()) rows.push_back(index.row());
  std::sort(rows.begin(), rows.end());
  std::string text;
  for (int row : rows) text += log_model_.EntryLine(static_cast<size_t>(row)) + "\n";
  if (!text.empty()) QApplication::clipboard()->setText(Qs(text));
}

bool MainWindow::SaveLog(const std::string& path) {
  log_model_.Flush();
  if (log_model_.SaveTo(path)) return true;
  host_->prompts.ErrorBox("Cannot save the log to '" + path + "'");
  return false;
}

void MainWindow::SaveLogAs() {
  const std::string path = ask_save_path ? ask_save_path() : std::string();
  if (!path.empty()) SaveLog(path);
}

void MainWindow::ShowTimestamps(bool on) {
  log_model_.ShowTimestamps(on);
  Action(QStringLiteral("Timestamps"))->setChecked(on);
}

void MainWindow::ShowRawBytes(bool on) {
  tap_.tap = on ? raw_view_ : nullptr;
  raw_view_->setVisible(on);
  Action(QStringLiteral("Raw bytes"))->setChecked(on);
  if (on && log_splitter_->sizes().value(1) == 0) {
    const int height = log_splitter_->height();
    log_splitter_->setSizes({height / 2, height - height / 2});
  }
}

// The log goes on growing in the folder: veritor-YYYY-MM-DD.log, appended to
// all day, or a file of its own for this run.
void MainWindow::ApplyLogFileSettings(const LogFileSettings& settings) {
  // The file of a run opens with its start.
  const bool at_start_up = !log_file_applied_;
  log_file_applied_ = true;
  log_file_settings_ = settings;
  log_model_.SetLogFile(nullptr);
  log_file_path_.clear();
  if (settings.folder.empty()) return;
  const std::string stamp = settings.per_day
                                ? QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")).toStdString()
                                : run_started_;
  const std::string path = settings.folder + "/veritor-" + stamp + ".log";
  QDir().mkpath(Qs(settings.folder));
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) {
    log_.LogMessage("Cannot write the log file '%s'", path.c_str());
    return;
  }
  log_model_.SetLogFile(file, at_start_up);
  log_file_path_ = path;
  log_.LogMessage("Logging to '%s'", path.c_str());
}

void MainWindow::OpenSettingsDialog() {
  QDialog dialog(this);
  dialog.setWindowTitle(QStringLiteral("Settings"));
  auto* form = new QFormLayout(&dialog);
  auto* timestamps = new QCheckBox(QStringLiteral("Show the time of each entry (ms)"), &dialog);
  timestamps->setChecked(log_model_.TimestampsShown());
  auto* folder = new QLineEdit(Qs(log_file_settings_.folder), &dialog);
  folder->setPlaceholderText(QStringLiteral("no log file"));
  auto* browse = new QPushButton(QStringLiteral(".."), &dialog);
  connect(browse, &QPushButton::clicked, &dialog, [&] {
    const QString chosen = QFileDialog::getExistingDirectory(&dialog, QStringLiteral("Log folder"), folder->text());
    if (!chosen.isEmpty()) folder->setText(chosen);
  });
  auto* folder_row = new QHBoxLayout;
  folder_row->addWidget(folder, 1);
  folder_row->addWidget(browse);
  auto* per = new QComboBox(&dialog);
  per->addItems({QStringLiteral("One file per day"), QStringLiteral("One file per run")});
  per->setCurrentIndex(log_file_settings_.per_day ? 0 : 1);
  auto* reply_end = new QComboBox(&dialog);
  reply_end->addItems({QStringLiteral("CR LF"), QStringLiteral("The device closing the connection"),
                       QStringLiteral("50 ms without a byte")});
  reply_end->setCurrentIndex(static_cast<int>(links_->tcp().reply_end()));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  form->addRow(timestamps);
  form->addRow(QStringLiteral("Log folder"), folder_row);
  form->addRow(QString(), per);
  form->addRow(QStringLiteral("TCP replies end with"), reply_end);
  form->addRow(buttons);
  if (dialog.exec() != QDialog::Accepted) return;
  ShowTimestamps(timestamps->isChecked());
  ApplyLogFileSettings({folder->text().trimmed().toStdString(), per->currentIndex() == 0});
  links_->tcp().SetReplyEnd(static_cast<TcpReplyEnd>(reply_end->currentIndex()));
  SaveSettings();
}

void MainWindow::SetTcpReplyEnd(TcpReplyEnd end) {
  links_->tcp().SetReplyEnd(end);
  SaveSettings();
}

// A size saved on a larger screen or at another scale is cut to the screen
// this window opens on, and the window kept inside it, so that the command
// row, Connect and Exit stay in reach.
QSize MainWindow::FitScreen(QSize size) {
  const QRect room = screen()->availableGeometry();
  QSize frame = frameGeometry().size() - geometry().size();
  if (frame.isEmpty()) frame = QSize(16, 40);  // not shown yet: room for a title bar and borders
  size = size.boundedTo(room.size() - frame);
  QRect placed(pos(), size + frame);
  placed.moveRight(std::min(placed.right(), room.right()));
  placed.moveBottom(std::min(placed.bottom(), room.bottom()));
  placed.moveLeft(std::max(placed.left(), room.left()));
  placed.moveTop(std::max(placed.top(), room.top()));
  move(placed.topLeft());
  return size;
}

void MainWindow::SaveSettings() const {
  QSettings settings = Settings();
  settings.setValue(QStringLiteral("port"), port_list_->currentText());
  settings.setValue(QStringLiteral("speed_or_address"), speed_or_address_->currentText());
  settings.setValue(QStringLiteral("command"), static_cast<QLineEdit*>(Control(kIdCommandText))->text());
  settings.setValue(QStringLiteral("sign_file"), static_cast<QLineEdit*>(Control(kIdSignFileName))->text());
  settings.setValue(QStringLiteral("batch_file"), static_cast<QLineEdit*>(Control(kIdBatchFileName))->text());
  settings.setValue(QStringLiteral("details"), Details());
  settings.setValue(QStringLiteral("maximized"), isMaximized());
  settings.setValue(QStringLiteral("size"), isMaximized() ? normalGeometry().size() : size());
  settings.setValue(QStringLiteral("timestamps"), log_model_.TimestampsShown());
  settings.setValue(QStringLiteral("raw_bytes"), tap_.tap != nullptr);
  settings.setValue(QStringLiteral("log_folder"), Qs(log_file_settings_.folder));
  settings.setValue(QStringLiteral("log_per_day"), log_file_settings_.per_day);
  settings.setValue(QStringLiteral("tcp_reply_end"), QLatin1String(TcpReplyEndName(links_->tcp().reply_end())));
  const auto kept = history_.size() > kKeptHistory ? history_.end() - kKeptHistory : history_.begin();
  settings.setValue(QStringLiteral("history"), QStringList(kept, history_.end()));
}

// What the last run left, without logging or detecting anything: a network
// entry comes back with its address typed, not with a new detection.
void MainWindow::LoadSettings() {
  const QSettings settings = Settings();
  const int entry = port_list_->findText(settings.value(QStringLiteral("port")).toString());
  if (entry >= 0) {
    port_list_->setCurrentIndex(entry);
    if (entry == kNetworkEntry || entry == kTcpEntry || entry == kUdpEntry) {
      speed_or_address_->clear();
      chosen_entry_ = -1;
    }
  }
  if (settings.contains(QStringLiteral("speed_or_address"))) {
    const QString text = settings.value(QStringLiteral("speed_or_address")).toString();
    const int speed = speed_or_address_->findText(text);
    if (speed >= 0) {
      speed_or_address_->setCurrentIndex(speed);
      chosen_entry_ = speed;
    } else {
      speed_or_address_->setEditText(text);
      chosen_entry_ = -1;
    }
  }
  const std::pair<int, const char*> fields[] = {
      {kIdCommandText, "command"}, {kIdSignFileName, "sign_file"}, {kIdBatchFileName, "batch_file"}};
  for (const auto& [id, key] : fields)
    static_cast<QLineEdit*>(Control(id))->setText(settings.value(QLatin1String(key)).toString());
  static_cast<QCheckBox*>(Control(kIdDetails))->setChecked(settings.value(QStringLiteral("details"), true).toBool());
  const QSize size = settings.value(QStringLiteral("size")).toSize();
  if (size.isValid()) resize(FitScreen(size).expandedTo(minimumSize()));
  if (settings.value(QStringLiteral("maximized"), false).toBool()) setWindowState(windowState() | Qt::WindowMaximized);
  for (const QString& command : settings.value(QStringLiteral("history")).toStringList()) history_.push_back(command);
  history_at_ = history_.size();
  ShowTimestamps(settings.value(QStringLiteral("timestamps"), false).toBool());
  ShowRawBytes(settings.value(QStringLiteral("raw_bytes"), false).toBool());
  ApplyLogFileSettings({settings.value(QStringLiteral("log_folder")).toString().toStdString(),
                        settings.value(QStringLiteral("log_per_day"), true).toBool()});
  const std::string reply_end = settings.value(QStringLiteral("tcp_reply_end")).toString().toStdString();
  links_->tcp().SetReplyEnd(ParseTcpReplyEnd(reply_end).value_or(TcpReplyEnd::kCrLf));
}

}  // namespace veritor
