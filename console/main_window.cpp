#include "console/main_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>

#include "console/qt_prompts.h"
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

}  // namespace

MainWindow::MainWindow(ConsoleEnvironment environment) : environment_(std::move(environment)) {
  setWindowTitle(QStringLiteral("Veritor v2.24n"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(UnitsToX(kDialogWidthUnits), UnitsToY(kDialogHeightUnits));
  QFont dialog_font(QStringLiteral("MS Sans Serif"));
  dialog_font.setPixelSize(11);
  setFont(dialog_font);

  Prompts* prompts = environment_.prompts;
  if (prompts == nullptr) {
    own_prompts_ = std::make_unique<QtPrompts>(this);
    prompts = own_prompts_.get();
  }
  host_ = std::make_unique<Host>(Host{environment_.clock, environment_.pump, log_, *this, *prompts, state_});
  links_ = std::make_unique<ConsoleLinks>(*host_, environment_.opener, environment_.network,
                                          environment_.output_directory);
  CreateControls();
  ConnectSignals();
  InitMainWindow();
  log_model_.SetCodePage(environment_.code_page);
}

void MainWindow::SetCodePage(const CodePage& page) {
  environment_.code_page = page;
  log_model_.SetCodePage(page);
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::Control(int id) const {
  const auto found = controls_.find(id);
  return found == controls_.end() ? nullptr : found->second;
}

void MainWindow::CreateControls() {
  log_view_ = new QTreeView(this);
  log_view_->setGeometry(UnitsToRect(4, 6, 369, 106));
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
  controls_[kIdPortList] = port_list_;
  speed_or_address_ = new QComboBox(this);
  speed_or_address_->setEditable(true);
  speed_or_address_->setInsertPolicy(QComboBox::NoInsert);
  speed_or_address_->setGeometry(UnitsToRect(128, 242, 84, kComboHeightUnits));
  controls_[kIdSpeedOrAddress] = speed_or_address_;
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
  connect(speed_or_address_, &QComboBox::activated, this, [this](int index) { chosen_entry_ = index; });
  connect(speed_or_address_->lineEdit(), &QLineEdit::textEdited, this, [this] { chosen_entry_ = -1; });
}

void MainWindow::InitMainWindow() {
  state_ = ConsoleState{};
  SetEnabled({kIdSendCommand, kIdSignFile, kIdRefresh, kIdBitmap, kIdRunBatch}, false);
  SetEnabled({kIdConnect, kIdExit}, true);
  for (int port = 1; port <= 12; ++port) port_list_->addItem(QStringLiteral("COM%1").arg(port));
  port_list_->addItems({QStringLiteral("Network"), QStringLiteral("TCP"), QStringLiteral("UDP")});
  port_list_->setCurrentIndex(0);
  static_cast<QCheckBox*>(Control(kIdDetails))->setChecked(true);
  log_.LogMessage("Veritor started");
  FillBaudRates();
}

void MainWindow::SetEnabled(std::initializer_list<int> ids, bool enabled) {
  for (int id : ids) Control(id)->setEnabled(enabled);
}

void MainWindow::SetFieldText(int control_id, std::string_view text) {
  if (auto* field = qobject_cast<QLabel*>(Control(control_id))) {
    // A field shows the device's text up to the first NUL.
    field->setText(Qs(environment_.code_page.ToUtf8(text.substr(0, text.find('\0')))));
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
  const int link = port_list_->currentIndex() + 1;
  state_.ActiveLink = link;
  unsigned long speed = 0;
  if (!IsNetworkLink(link) && !ReadSerialSpeed(speed)) return;
  const std::string address = IsNetworkLink(link) ? ReadDeviceAddressText() : std::string();
  SetEnabled({kIdConnect}, false);
  const ConsoleLinks::ConnectOutcome outcome = links_->Connect(link, speed, address, Details());
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
  const std::optional<std::string> request = EncodeRequest(environment_.code_page, log_, FieldText(kIdCommandText));
  if (!request) return;
  std::string data;
  links_->executor().ExecuteCommand(*request, data, Details());
}

void MainWindow::RefreshStatus() {
  if (state_.TransactionInProgress) return;
  if (!state_.Connected) {
    host_->prompts.ErrorBox("Not connected!");
    return;
  }
  std::string data;
  links_->executor().ExecuteCommand("?", data, Details());
}

void MainWindow::RunBatch() { RunBatchFile(*host_, links_->executor(), FieldText(kIdBatchFileName), Details()); }

void MainWindow::SignChosenFile() { SignFile(*host_, links_->executor(), FieldText(kIdSignFileName), Details()); }

void MainWindow::UploadBitmapFile() {
  // No file dialog in the middle of another exchange.
  if (state_.TransactionInProgress) return;
  // Cancel uploads nothing, whatever the field holds.
  if (!Browse(kIdBatchFileName, "*.bmp")) return;
  veritor::UploadBitmapFile(*host_, links_->executor(), FieldText(kIdBatchFileName), Details());
}

bool MainWindow::Browse(int field, const char* pattern) {
  const std::optional<std::string> path = host_->prompts.BrowseForFile(pattern, "Select file");
  if (path) static_cast<QLineEdit*>(Control(field))->setText(Qs(*path));
  return path.has_value();
}

bool MainWindow::ShutdownConsole() {
  if (state_.TransactionInProgress) return false;
  links_->CloseAll();
  state_.QuitRequested = true;
  return true;
}

void MainWindow::Exit() {
  if (ShutdownConsole()) QDialog::done(0);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (state_.QuitRequested || ShutdownConsole()) {
    event->accept();
    QDialog::done(0);
  } else {
    event->ignore();
  }
}

void MainWindow::reject() {}

}  // namespace veritor
