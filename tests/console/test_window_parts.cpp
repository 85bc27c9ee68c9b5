// The window's menu bar, log area and keyboard: Stop and progress, the log's
// times, copies and files, the grown window, settings, the port list, the
// command history and the raw byte view.

#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QScrollBar>
#include <QSettings>
#include <QStandardItemModel>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "console/qt_prompts.h"
#include "console/raw_view.h"
#include "platform/serial_enum.h"
#include "tests/console/console_fixture.h"
#include "tests/support/wire_serial.h"

namespace veritor {
namespace {

bool Contains(const Lines& lines, const std::string& prefix) {
  return std::ranges::any_of(lines, [&](const std::string& line) { return line.starts_with(prefix); });
}

std::string Repeat(const std::string& line, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += line;
  return text;
}

QPushButton* StopButton(MainWindow& window) {
  for (QPushButton* button : window.findChildren<QPushButton*>()) if (button->text() == "Stop") return button;
  return nullptr;
}

QTreeView* LogView(MainWindow& window) { return static_cast<QTreeView*>(window.Control(kIdMessageLog)); }

// Each long action, stopped each way, ends after the exchange in flight with its line in the log, the link still
// connected and the progress row gone; while it runs the progress bar moves and tells the count.
TEST_F(ConsoleTest, LongActionsStopAfterTheExchangeInFlightAndStayConnected) {
  Connect();
  static_cast<QCheckBox*>(window.Control(kIdDetails))->setChecked(false);
  const std::tuple<int, std::function<void()>, const char*> stops[] = {
      {kIdRunBatch, [&] { QTest::keyClick(&window, Qt::Key_Escape); }, "Batch stopped in line 6"},
      {kIdSignFile, [&] { window.Action("Stop")->trigger(); }, "Signing stopped after block 4 of 27"},
      {kIdBitmap, [&] { QTest::mouseClick(StopButton(window), Qt::LeftButton); }, "Upload stopped after row 5 of 100"},
  };
  Edit(kIdBatchFileName)->setText(QString::fromStdString(File(Repeat("?\n", 100))));
  test::WriteFile(out.file("sign"), std::string(20000, 's'));
  Edit(kIdSignFileName)->setText(QString::fromStdString(out.file("sign")));
  prompts.file = out.file("picture.bmp");
  test::WriteFile(*prompts.file, Bmp(8, 100));
  for (size_t i = 0; i < std::size(stops); ++i) {
    const auto& [button, stop, logged] = stops[i];
    SCOPED_TRACE(logged);
    MarkStart();
    bool shown = false;
    every_turn = [&, i] {
      if (Sent().size() < 5 || window.StopRequested()) return;
      shown = window.progress_bar()->isVisible() && window.Action("Stop")->isEnabled();
      // What cannot be used meanwhile is shown disabled, and the keys reach Stop, not Exit.
      EXPECT_EQ(States(), "DDDDDDDDE");
      EXPECT_FALSE(window.Action("Refresh")->isEnabled() || window.Action("Run plan...")->isEnabled());
      EXPECT_EQ(QApplication::focusWidget(), StopButton(window));
      if (i == 0) {
        QTest::qWait(250);  // the bar catches up a few times a second
        EXPECT_TRUE(window.progress_label()->text().startsWith("Batch: 4 lines, 8 of 200 bytes, ")) <<
            window.progress_label()->text().toStdString();
        EXPECT_EQ(window.progress_bar()->value(), 40);
      }
      stop();
    };
    Click(button);
    every_turn = nullptr;
    EXPECT_TRUE(shown);
    EXPECT_TRUE(Contains(Log(), logged)) << ::testing::PrintToString(Log());
    EXPECT_FALSE(window.progress_bar()->isVisible());
    EXPECT_FALSE(window.Action("Stop")->isEnabled());
    EXPECT_EQ(States(), "EEEEEEDDE");
    EXPECT_TRUE(window.Action("Refresh")->isEnabled() && window.Action("Run plan...")->isEnabled());
    Click(kIdRefresh);
    EXPECT_EQ(Sent().back(), "?");
  }
}

// After a failed Connect too the typed keys go to the command field (after a good one: xvfb_click_test.sh): Space
// presses no button (least of all Exit), and the focused control is marked however the focus came to it.
TEST_F(ConsoleTest, AfterConnectTheKeysGoToTheCommandFieldAndTheFocusIsMarked) {
  ChoosePort(4);  // COM5 does not open
  Click(kIdConnect);
  ASSERT_EQ(QApplication::focusWidget(), Edit(kIdCommandText));
  QTest::keyClicks(QApplication::focusWidget(), "v ");
  EXPECT_EQ(Edit(kIdCommandText)->text(), "v ");
  EXPECT_TRUE(window.isVisible());
  auto* exit = static_cast<QPushButton*>(window.Control(kIdExit));
  EXPECT_FALSE(exit->isDefault() || exit->autoDefault());
  QTest::mouseClick(static_cast<QPushButton*>(window.Control(kIdClearLog)), Qt::LeftButton);
  const QImage unfocused = exit->grab().toImage();
  QTest::mousePress(exit, Qt::LeftButton);  // focus by the mouse, which Qt leaves unmarked
  QTest::mouseRelease(exit, Qt::LeftButton, {}, QPoint(-5, -5));  // released off the button: no Exit
  ASSERT_EQ(QApplication::focusWidget(), exit);
  QApplication::processEvents();
  EXPECT_NE(exit->grab().toImage(), unfocused) << "no focus mark on Exit";
  EXPECT_TRUE(window.isVisible());
}

// A window of its own, connected to a serial device written from the wire bytes, which answers BUSY while `busy`
// (never past 50 requests, so that a repeat nothing stops ends) and lets a test act as each request arrives.
struct BusyDeviceWindow {
  BusyDeviceWindow(TickClock& clock, MessagePump& pump, Network& network, const std::string& folder, Prompts& prompts)
      : window({clock, pump, device, network, folder, &prompts}) {
    device.answer = [this](const std::string&) {
      if (on_request) on_request();
      return std::string(busy && device.requests.size() < 50 ? "0E/00/00" : "00/00/00");
    };
    window.show();
    window.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
    Press(kIdConnect);
  }
  void Press(int id) { QTest::mouseClick(static_cast<QPushButton*>(window.Control(id)), Qt::LeftButton); }
  bool busy = false;
  std::function<void()> on_request;
  test::WireSerialDevice device;
  MainWindow window;
};

// A device that answers BUSY for ever: each way of stopping ends the repeat after the reply in hand, and the link
// stays usable.
TEST_F(ConsoleTest, StopEndsTheBusyRepeatOfAPlainRequest) {
  BusyDeviceWindow d(clock, *this, net.network(), out.slash(), prompts);
  ASSERT_TRUE(d.window.state().Connected);
  static_cast<QCheckBox*>(d.window.Control(kIdDetails))->setChecked(false);
  const std::pair<const char*, std::function<void()>> stops[] = {
      {"Esc", [&] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape); }},
      {"Device > Stop", [&] { d.window.Action("Stop")->trigger(); }},
      {"Esc from the log", [&] { QTest::keyClick(d.window.Control(kIdMessageLog), Qt::Key_Escape); }},
  };
  for (const auto& [name, stop] : stops) {
    SCOPED_TRACE(name);
    d.busy = true;
    d.device.requests.clear();
    size_t sent_at_stop = 0;
    d.on_request = [&] {
      if (sent_at_stop != 0 || d.device.requests.size() < 5) return;
      sent_at_stop = d.device.requests.size();
      stop();
    };
    static_cast<QLineEdit*>(d.window.Control(kIdCommandText))->setText("v");
    d.Press(kIdSendCommand);
    d.on_request = nullptr;
    EXPECT_LE(d.device.requests.size(), sent_at_stop + 1);
    EXPECT_EQ(Entries(d.window).back(), "Stopped while the device answered busy (0x0E); the request was not carried out");
    EXPECT_FALSE(d.window.Action("Stop")->isEnabled());
    d.busy = false;
    d.Press(kIdRefresh);
    EXPECT_EQ(static_cast<QLabel*>(d.window.Control(kIdReplyField))->text(), "00/00/00");
  }
}

// A close asked during an exchange, by any of its ways, is logged and done when the exchange ends; during a batch
// the batch stops first. Asked again, the operator chooses: No waits on, Yes leaves at once though the device is
// still answering BUSY.
TEST_F(ConsoleTest, CloseDuringAnExchangeIsDoneWhenItEnds) {
  const QString batch = QString::fromStdString(File(Repeat("?\n", 50)));
  using Close = std::function<void(BusyDeviceWindow&)>;
  const Close close_box = [](BusyDeviceWindow& d) { d.window.close(); };
  // The button that starts the exchange, the way to close, Yes to leaving at once, and the line logged.
  const std::tuple<int, Close, bool, const char*> cases[] = {
      {kIdSendCommand, close_box, false, "Veritor closed"},
      {kIdRefresh, [](BusyDeviceWindow& d) { d.Press(kIdExit); }, false, "Veritor closed"},
      {kIdSendCommand, [](BusyDeviceWindow& d) { QTest::keyClick(&d.window, Qt::Key_Q, Qt::ControlModifier); }, false,
       "Veritor closed"},
      {kIdRunBatch, close_box, false, "Batch stopped in line 2"},
      {kIdSendCommand, close_box, true, "Exit without waiting for the exchange under way"},
  };
  for (const auto& [button, close, leave_now, logged] : cases) {
    SCOPED_TRACE(logged + std::to_string(button));
    BusyDeviceWindow d(clock, *this, net.network(), out.slash(), prompts);
    ASSERT_TRUE(d.window.state().Connected);
    static_cast<QLineEdit*>(d.window.Control(kIdCommandText))->setText("v");
    static_cast<QLineEdit*>(d.window.Control(kIdBatchFileName))->setText(batch);
    d.busy = leave_now;
    prompts.answers = {leave_now};
    prompts.questions = 0;
    int asked = 0;
    d.device.requests.clear();
    d.on_request = [&] {
      for (; asked < 2; ++asked) close(d);
      EXPECT_EQ(d.window.isVisible(), !leave_now);
      d.on_request = nullptr;
    };
    d.Press(button);
    EXPECT_EQ(d.device.requests.size(), 1u) << "the repeat and the batch stop";
    EXPECT_EQ(prompts.questions, 1);
    EXPECT_FALSE(d.window.isVisible());
    EXPECT_TRUE(d.window.state().QuitRequested);
    const Lines log = Entries(d.window);
    EXPECT_EQ(std::ranges::count(log, "Exit after the exchange under way"), 1) << ::testing::PrintToString(log);
    EXPECT_TRUE(Contains(log, logged)) << ::testing::PrintToString(log);
  }
}

// Times in the window, the saved file and the copy; select all, clear; the log file per day and per run.
TEST_F(ConsoleTest, LogKeepsTimesSavesCopiesAndGrowsInAFile) {
  window.log().LogMessage("first\nsecond\nthird");
  Log();
  window.ShowTimestamps(true);
  const QString shown = window.log_model().data(window.log_model().index(0), Qt::DisplayRole).toString();
  EXPECT_TRUE(Matches(shown.toStdString(), "\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d  Veritor started")) << shown.toStdString();

  const std::string saved = out.file("saved.txt");
  window.ask_save_path = [&] { return saved; };
  QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
  const std::string text = test::ReadFile(saved);
  EXPECT_EQ(std::ranges::count(text, '\n'), 4);
  EXPECT_TRUE(Finds(text, ("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d  Veritor started\n")));
  EXPECT_NE(text.find("  third\n"), std::string::npos);
  window.ask_save_path = [] { return std::string("/nonexistent/dir/log.txt"); };
  window.Action("Save log...")->trigger();
  EXPECT_EQ(prompts.boxes.back().text, "Cannot save the log to '/nonexistent/dir/log.txt'");

  window.ShowTimestamps(false);
  LogView(window)->setFocus();
  for (int row : {1, 3})
    LogView(window)->selectionModel()->select(window.log_model().index(row),
                                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
  QTest::keyClick(LogView(window), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), "first\nthird\n");
  Log();
  QTest::keyClick(LogView(window), Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(LogView(window)->selectionModel()->selectedRows().size(), static_cast<int>(Log().size()));
  // In the command field the keys are the field's own.
  Edit(kIdCommandText)->setText("typed");
  Edit(kIdCommandText)->setFocus();
  QTest::keyClick(Edit(kIdCommandText), Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(Edit(kIdCommandText), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), "typed");
  window.Action("Clear log")->trigger();
  EXPECT_TRUE(Log().empty());

  for (bool per_day : {true, false}) {
    const std::string folder = out.file(per_day ? "daily" : "runs");
    window.ApplyLogFileSettings({folder, per_day});
    const std::string name = window.log_file_path().substr(folder.size() + 1);
    EXPECT_TRUE(Matches(name, "veritor-\\d{4}-\\d\\d-\\d\\d" + std::string(per_day ? "" : "-\\d{6}") + "\\.log")) << name;
    window.log().LogMessage("kept %d", per_day);
    Log();
    window.ApplyLogFileSettings({});
    const std::string kept = test::ReadFile(folder + "/" + name);
    EXPECT_TRUE(Finds(kept, "\\d\\d\\.\\d\\d\\d  Logging to '.*'\n.*  kept " + std::to_string(per_day) + "\n$")) << kept;
  }
  // A run's file opens with its start, has each entry as it is logged and ends with the exit.
  {
    QSettings("Veritor", "veritor").setValue("log_folder", QString::fromStdString(out.file("run")));
    MainWindow again({clock, *this, serial.opener(), net.network(), out.slash(), &prompts});
    again.log().LogMessage("at once");
    EXPECT_TRUE(Finds(test::ReadFile(again.log_file_path()), "\\A.*  Veritor started\n.*  Logging to '.*'\n.*  at once\n\\z"))
        << test::ReadFile(again.log_file_path());
    again.Action("Exit")->trigger();
    EXPECT_TRUE(Finds(test::ReadFile(again.log_file_path()), "  at once\n.*  Veritor closed\n\\z"));
    QSettings("Veritor", "veritor").clear();
  }
  window.ApplyLogFileSettings({"/proc/no/such/folder", true});
  EXPECT_EQ(Log().back(), "Cannot write the log file '/proc/no/such/folder/veritor-" +
                              QDate::currentDate().toString("yyyy-MM-dd").toStdString() + ".log'");
  // A log file that opens but cannot be written (a link to a full device), here found by its last write as it is
  // closed: the log and a box say so once, and the window goes on without the file.
  const std::string full = out.file("full");
  std::filesystem::create_directory(full);
  const std::string name = full + "/veritor-" + QDate::currentDate().toString("yyyy-MM-dd").toStdString() + ".log";
  std::filesystem::create_symlink("/dev/full", name);
  window.ApplyLogFileSettings({full, true});
  window.log().LogMessage("lost");
  const std::string said = "Cannot write the log file '" + name +
                           "': No space left on device; the log goes on in the window only";
  window.ApplyLogFileSettings({});
  QCoreApplication::processEvents();
  EXPECT_EQ(Log().back(), "Shown: " + said);  // a box
  window.log().LogMessage("after");
  EXPECT_EQ(Log().back(), "after");
}

// New entries scroll into view only while the view is at its bottom; a long entry reads whole in its tool tip.
TEST_F(ConsoleTest, LogFollowsOnlyAtTheBottomAndShowsLongEntriesWhole) {
  for (int i = 0; i < 200; ++i) window.log().LogMessage("entry %d", i);
  Log();
  QScrollBar* bar = LogView(window)->verticalScrollBar();
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  for (const int at : {10, -1}) {  // scrolled up, then at the bottom again
    bar->setValue(at < 0 ? bar->maximum() : at);
    window.log().LogMessage("one more");
    Log();
    EXPECT_EQ(bar->value(), at < 0 ? bar->maximum() : at);
  }
  // At the bottom it stays there while the raw pane opens and the progress row comes and goes.
  QTest::keyClick(&window, Qt::Key_R, Qt::ControlModifier);
  QApplication::processEvents();
  EXPECT_EQ(bar->value(), bar->maximum());
  Connect();
  Edit(kIdBatchFileName)->setText(QString::fromStdString(File(Repeat("?\n", 3))));
  int behind = 0, turns = 0;
  every_turn = [&] {
    if (!window.progress_bar()->isVisible()) return;
    Log();
    QApplication::processEvents();
    ++turns;
    behind += bar->value() != bar->maximum();
  };
  Click(kIdRunBatch);
  every_turn = nullptr;
  EXPECT_GT(turns, 0);
  EXPECT_EQ(behind, 0);
  EXPECT_EQ(Log().back(), "Batch done: 3 lines in 0.0 s");

  const std::string reply(2048, 'r');
  window.log().LogMessage("Replied [%s]", reply.c_str());
  Log();
  const QModelIndex last = window.log_model().index(static_cast<int>(window.log_model().EntryCount() - 1));
  QString tip = window.log_model().data(last, Qt::ToolTipRole).toString();
  EXPECT_EQ(tip.count('r'), 2048);
  EXPECT_TRUE(tip.contains('\n'));
  EXPECT_FALSE(window.log_model().data(window.log_model().index(0), Qt::ToolTipRole).isValid());
  // Ctrl+C in the Request or Reply line copies its selection; its context menu copies it, or the whole line.
  for (int id : {kIdRequestField, kIdReplyField}) {
    auto* field = static_cast<QLabel*>(window.Control(id));
    window.SetFieldText(id, id == kIdRequestField ? "S/request" : "00/00/00/reply");
    field->setFocus();
    field->setSelection(0, 4);
    QTest::keyClick(field, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), field->text().left(4));
    field->setSelection(0, 0);
    ASSERT_EQ(field->contextMenuPolicy(), Qt::ActionsContextMenu);
    ASSERT_EQ(field->actions().size(), 1);
    field->actions()[0]->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), field->text());
  }
}

// Esc at the Z report's question is the operator's stop (the window's shared stop), not an answer; a click on No
// or Yes is one.
TEST(QtPromptsTest, EscAtTheQuestionIsTheStop) {
  // The operator's act, then the answer and whether the stop was asked.
  const std::tuple<std::function<void(QMessageBox&)>, bool, bool> rows[] = {
      {[](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); }, false, true},
      {[](QMessageBox& box) { box.button(QMessageBox::No)->click(); }, false, false},
      {[](QMessageBox& box) { box.button(QMessageBox::Yes)->click(); }, true, false},
  };
  for (const auto& [act, yes, stopped_by_it] : rows) {
    QtPrompts prompts(nullptr);
    bool stopped = false;
    prompts.SetEscapeAction([&] { stopped = true; });
    QTimer poll;  // acts once the box is up
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        poll.stop();
        act(*box);
      }
    });
    poll.start(10);
    EXPECT_EQ(prompts.AskYesNo("", "Is this signature identical with the one in Zreport?"), yes);
    EXPECT_EQ(stopped, stopped_by_it) << yes;
  }
}

// Device > Run plan: nothing before Connect, a box for a faulty plan; the plan runs on the window's link into its
// log, and a Z-report step answers the signature question itself instead of asking the operator.
TEST_F(ConsoleTest, RunPlanFromTheDeviceMenu) {
  prompts.file = File("v => 0\n");
  window.Action("Run plan...")->trigger();
  EXPECT_EQ(Log(), Lines{"Veritor started"}) << "nothing runs before Connect";
  Connect();
  window.Action("Run plan...")->trigger();
  EXPECT_TRUE(prompts.boxes.back().text.starts_with("Plan refused: " + *prompts.file + ":1: "));
  prompts.file = File("v\n? => 00\n.zreport answer=yes\n");
  MarkStart();
  window.Action("Run plan...")->trigger();
  const Lines log = Log();
  EXPECT_EQ(log.front(), "Running plan '" + *prompts.file + "'");
  EXPECT_TRUE(log.back().starts_with("Plan: 3 steps, 3 passed, 0 failed")) << log.back();
  EXPECT_EQ(prompts.questions, 0) << "the plan answered the signature question";
}

// The window grows: the log takes the room, the controls move down with the bottom edge and keep their order.
// A set status bit stands out and still reads "1".
TEST_F(ConsoleTest, WindowGrowsAroundItsLogAndSetBitsStandOut) {
  QWidget* exit = window.Control(kIdExit);
  const QRect exit_before = exit->geometry();
  const QSize log_before = LogView(window)->size();
  const int field_before = Edit(kIdCommandText)->width();
  window.resize(window.width() + 300, window.height() + 200);
  QApplication::processEvents();
  EXPECT_EQ(exit->geometry(), exit_before.translated(300, 200));
  EXPECT_EQ(LogView(window)->size(), log_before + QSize(300, 200));
  for (int id : {kIdCommandText, kIdSignFileName, kIdBatchFileName}) EXPECT_EQ(Edit(id)->width(), field_before + 300);
  EXPECT_EQ(window.Control(kIdSendCommand)->x(), exit->x()) << "the buttons keep beside their fields";
  EXPECT_EQ(window.menu_bar()->width(), window.width());

  Connect();
  window.SetFieldText(kIdFirstStatusBit, "1");
  window.SetFieldText(kIdFirstStatusBit + 1, "0");
  auto* set = static_cast<QLabel*>(window.Control(kIdFirstStatusBit));
  auto* clear = static_cast<QLabel*>(window.Control(kIdFirstStatusBit + 1));
  EXPECT_NE(set->styleSheet(), clear->styleSheet());
  window.SetFieldText(kIdFirstStatusBit, "0");
  EXPECT_EQ(set->styleSheet(), clear->styleSheet());
  EXPECT_EQ(set->fontInfo().pixelSize(), clear->fontInfo().pixelSize());
  // A reply holding a line break stays one line in its field.
  window.SetFieldText(kIdReplyField, "00/00/00/one\r\ntwo");
  EXPECT_EQ(Label(kIdReplyField)->text(), QString::fromUtf8("00/00/00/one\u240D\u240Atwo"));
}

// Enter sends; Up and Down walk the commands sent, and past the newest the field is empty. Port, speed or address,
// the three fields, Details, times, size, how TCP replies end and the commands sent come back in the next run.
TEST_F(ConsoleTest, SettingsComeBackInTheNextWindow) {
  QTest::keyClicks(Edit(kIdCommandText), "?");
  QTest::keyClick(Edit(kIdCommandText), Qt::Key_Return);
  EXPECT_TRUE(Log().size() == 1) << "not connected: nothing is sent";
  Connect();
  MarkStart();
  for (const char* request : {"?", "v", "v", "bogus"}) {
    Edit(kIdCommandText)->setText(request);
    QTest::keyClick(Edit(kIdCommandText), Qt::Key_Enter);
  }
  EXPECT_EQ(Sent(), (Lines{"?", "v", "v", "bogus"}));
  const auto recall = [](QLineEdit* field, const std::vector<Qt::Key>& keys) {
    std::string recalled;
    for (Qt::Key key : keys) {
      QTest::keyClick(field, key);
      recalled += field->text().toStdString() + "|";
    }
    return recalled;
  };
  const std::vector<Qt::Key> up = {Qt::Key_Up, Qt::Key_Up, Qt::Key_Up, Qt::Key_Up};
  EXPECT_EQ(recall(Edit(kIdCommandText), up), "bogus|v|?|?|");
  EXPECT_EQ(recall(Edit(kIdCommandText), {Qt::Key_Down, Qt::Key_Down, Qt::Key_Down}), "v|bogus||");
  Click(kIdConnect);
  ChoosePort(13);
  TypeAddress("127.0.0.2");
  Edit(kIdCommandText)->setText("v");
  Edit(kIdSignFileName)->setText("/tmp/sign.txt");
  Edit(kIdBatchFileName)->setText("/tmp/batch.txt");
  static_cast<QCheckBox*>(window.Control(kIdDetails))->setChecked(false);
  window.ShowTimestamps(true);
  window.resize(700, 560);
  window.SetTcpReplyEnd(TcpReplyEnd::kClose);
  window.SaveSettings();
  {
    MainWindow again({clock, *this, serial.opener(), net.network(), out.slash(), &prompts});
    EXPECT_EQ(static_cast<QComboBox*>(again.Control(kIdPortList))->currentText(), "TCP");
    EXPECT_EQ(static_cast<QComboBox*>(again.Control(kIdSpeedOrAddress))->currentText(), "127.0.0.2");
    EXPECT_EQ(static_cast<QLineEdit*>(again.Control(kIdCommandText))->text(), "v");
    EXPECT_EQ(static_cast<QLineEdit*>(again.Control(kIdSignFileName))->text(), "/tmp/sign.txt");
    EXPECT_EQ(static_cast<QLineEdit*>(again.Control(kIdBatchFileName))->text(), "/tmp/batch.txt");
    EXPECT_FALSE(static_cast<QCheckBox*>(again.Control(kIdDetails))->isChecked());
    EXPECT_TRUE(again.log_model().TimestampsShown());
    EXPECT_EQ(again.size(), QSize(700, 560));
    EXPECT_EQ(again.links().tcp().reply_end(), TcpReplyEnd::kClose);
    EXPECT_EQ(recall(static_cast<QLineEdit*>(again.Control(kIdCommandText)), up), "bogus|v|?|?|");
    again.SetTcpReplyEnd(TcpReplyEnd::kCrLf);  // as the simulator ends its replies
    net.AddTcpDevice(kDevice);
    QTest::mouseClick(static_cast<QPushButton*>(again.Control(kIdConnect)), Qt::LeftButton);
    EXPECT_TRUE(again.state().Connected);
    EXPECT_EQ(again.state().ActiveLink, kLinkTcp);
  }
  window.resize(100, 100);
  EXPECT_EQ(window.size(), window.minimumSize()) << "never smaller than the dialog";
  // A size saved on a larger screen opens within this one.
  QSettings("Veritor", "veritor").setValue("size", QSize(5000, 4000));
  {
    MainWindow again({clock, *this, serial.opener(), net.network(), out.slash(), &prompts});
    again.show();
    const QRect room = again.screen()->availableGeometry();
    const QRect frame = again.frameGeometry();
    EXPECT_TRUE(room.contains(frame)) << frame.x() << "," << frame.y() << " " << frame.width() << "x" << frame.height();
  }
  QSettings("Veritor", "veritor").clear();
}

// COM1 to COM12 show the device each opens; the serial devices present follow the network entries.
TEST_F(ConsoleTest, PortListShowsWhatEachComEntryOpensAndTheDevicesPresent) {
  auto* model = static_cast<QStandardItemModel*>(Combo(kIdPortList)->model());
  for (int n = 1; n <= 12; ++n) EXPECT_EQ(model->item(n - 1, 1)->text().toStdString(), ComPortPath(n));
  const std::vector<SerialDeviceEntry> devices = ListSerialDevices();
  ASSERT_EQ(model->rowCount(), 15 + static_cast<int>(devices.size()));
  for (size_t i = 0; i < devices.size(); ++i)
    EXPECT_EQ(model->item(static_cast<int>(15 + i), 0)->text().toStdString(), devices[i].path);
}

// The raw view shows each frame of the serial link as hex and text with its time (the network links' frames:
// test_console); switched off, nothing reaches it.
TEST_F(ConsoleTest, RawViewShowsEachFrameOfTheLinksOnlyWhileOn) {
  Connect();
  Edit(kIdCommandText)->setText("v");
  Click(kIdSendCommand);
  EXPECT_EQ(Raw(), "");

  QTest::keyClick(&window, Qt::Key_R, Qt::ControlModifier);
  EXPECT_TRUE(window.raw_view()->isVisible());
  Click(kIdSendCommand);
  const std::string serial_frames = Raw();
  const std::string time = "\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d ";
  EXPECT_TRUE(Finds(serial_frames, (time + "serial >> 1 byte  18  \\|<CAN>\\|\n" + time + "serial >> 1 byte  05  \\|<ENQ>\\|\n")))
      << serial_frames;
  EXPECT_TRUE(Finds(serial_frames, (time + "serial << 1 byte  06  \\|<ACK>\\|")));
  EXPECT_TRUE(Finds(serial_frames, (time + "serial >> 6 bytes  02 76 2F 36 35 03  \\|<STX>v/65<ETX>\\|")))
      << serial_frames;
  EXPECT_TRUE(Finds(serial_frames, (time + "serial << \\d+ bytes  02 .* 03  \\|<STX>.*VERITOR-SIM.*<ETX>\\|")));

  // Paused, the view holds still and shows what came on resuming; a direction filter keeps only its frames.
  window.raw_view()->clear();
  QTest::keyClick(&window, Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
  Click(kIdSendCommand);
  EXPECT_EQ(Raw(), "");
  window.Action("Pause raw bytes")->trigger();
  EXPECT_TRUE(Finds(window.raw_view()->toPlainText().toStdString(), "<STX>v/65<ETX>"));
  for (const auto& [way, kept, dropped] : {std::tuple{"Raw bytes sent only", " >> ", " << "},
                                          std::tuple{"Raw bytes received only", " << ", " >> "}}) {
    window.raw_view()->clear();
    window.Action(way)->trigger();
    Click(kIdSendCommand);
    const std::string shown = Raw();
    EXPECT_TRUE(shown.find(kept) != std::string::npos && shown.find(dropped) == std::string::npos) << way << shown;
  }
}

// The ".." buttons open the file dialog in the folder of the path already in the field, else in the current one.
TEST_F(ConsoleTest, FileDialogsOpenInTheFolderOfTheFieldsPath) {
  MainWindow own({clock, *this, serial.opener(), net.network(), out.slash(), nullptr});
  own.show();
  QDir().mkpath(QString::fromStdString(out.file("sub")));
  const std::pair<std::string, QString> cases[] = {
      {out.file("sub") + "/batch.txt", QString::fromStdString(out.file("sub"))},
      {"", QDir::currentPath()},
      {"/no/such/folder/batch.txt", QDir::currentPath()},
  };
  for (const auto& [typed, folder] : cases) {
    SCOPED_TRACE(typed);
    static_cast<QLineEdit*>(own.Control(kIdBatchFileName))->setText(QString::fromStdString(typed));
    QString opened_in;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
      if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
        opened_in = dialog->directory().absolutePath();
        dialog->reject();
      }
    });
    watch.start(10);
    QTest::mouseClick(static_cast<QPushButton*>(own.Control(kIdBrowseBatchFile)), Qt::LeftButton);
    EXPECT_EQ(opened_in, folder);
    EXPECT_EQ(static_cast<QLineEdit*>(own.Control(kIdBatchFileName))->text().toStdString(), typed) << "cancelled";
  }
}

}  // namespace
}  // namespace veritor
