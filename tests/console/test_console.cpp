#include "console/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>

#include "core/control_ids.h"
#include "sim/in_process.h"
#include "sim/in_process_net.h"
#include "tests/support/bmp_file.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace veritor {
namespace {

const Ipv4Address kDevice = 0x7F000002;

// One turn: the serial and the network devices act, the window handles its
// events, and a test may step in (a click in the middle of an exchange).
class ConsolePump final : public MessagePump {
 public:
  ConsolePump(MessagePump& serial, MessagePump& network) : serial_(serial), network_(network) {}
  void PumpOneMessage() override {
    serial_.PumpOneMessage();
    network_.PumpOneMessage();
    QCoreApplication::processEvents();
    if (during_wait) {
      auto action = std::move(during_wait);
      during_wait = nullptr;
      action();
    }
  }
  std::function<void()> during_wait;

 private:
  MessagePump& serial_;
  MessagePump& network_;
};

class ConsoleTest : public ::testing::Test {
 protected:
  VirtualTickClock clock;
  sim::InProcessSerial serial{clock};
  sim::InProcessNetwork net{clock};
  ConsolePump pump{serial.pump(), net.pump()};
  test::ScriptedPrompts prompts;
  test::TempDir out;
  MainWindow window{{clock, pump, serial.opener(), net.network(), out.slash(), &prompts}};

  void SetUp() override {
    window.show();
    net.AddSdnpDevice(kDevice);
    net.AddTcpDevice(kDevice);
    net.AddUdpDevice(kDevice);
  }
  QPushButton* Button(int id) { return static_cast<QPushButton*>(window.Control(id)); }
  QComboBox* Combo(int id) { return static_cast<QComboBox*>(window.Control(id)); }
  QLineEdit* Edit(int id) { return static_cast<QLineEdit*>(window.Control(id)); }
  void Click(int id) { QTest::mouseClick(Button(id), Qt::LeftButton); }
  void ChoosePort(int index) {
    Combo(kIdPortList)->setCurrentIndex(index);
    emit Combo(kIdPortList)->activated(index);
  }
  void TypeAddress(const QString& text) {
    QLineEdit* edit = Combo(kIdSpeedOrAddress)->lineEdit();
    edit->clear();
    QTest::keyClicks(edit, text);
  }
  std::vector<std::string> Log() {
    window.log_model().Flush();
    std::vector<std::string> entries;
    for (size_t i = 0; i < window.log_model().EntryCount(); ++i) entries.emplace_back(window.log_model().Entry(i));
    return entries;
  }
  bool Logged(const std::string& line) {
    const auto entries = Log();
    return std::find(entries.begin(), entries.end(), line) != entries.end();
  }
  // "E" or "D" for each control, in the order of the state table.
  std::string States() {
    std::string states;
    for (int id : {kIdSendCommand, kIdSignFile, kIdRefresh, kIdRunBatch, kIdBitmap, kIdConnect, kIdPortList,
                   kIdSpeedOrAddress, kIdExit})
      states += window.Control(id)->isEnabled() ? 'E' : 'D';
    return states;
  }
};

TEST_F(ConsoleTest, StartsWithOneEntryComOneAndDetailsTicked) {
  EXPECT_EQ(Log(), std::vector<std::string>{"Veritor started"});
  EXPECT_EQ(Combo(kIdPortList)->currentText(), "COM1");
  EXPECT_EQ(Combo(kIdPortList)->count(), 15);
  EXPECT_EQ(Combo(kIdSpeedOrAddress)->currentText(), "115200");
  EXPECT_TRUE(static_cast<QCheckBox*>(window.Control(kIdDetails))->isChecked());
  std::string enabled;
  for (QPushButton* button : window.findChildren<QPushButton*>())
    if (button->isEnabled()) enabled += button->text().toStdString() + " ";
  EXPECT_EQ(enabled, "X .. .. Connect Exit ");
  EXPECT_EQ(window.windowTitle(), "Veritor v2.24n");
  EXPECT_EQ(window.size(), QSize(570, 419));
  EXPECT_EQ(window.Control(kIdSendCommand)->geometry(), QRect(461, 314, 101, 23));
  EXPECT_EQ(static_cast<QLabel*>(window.Control(1021))->text(), "--");
}

TEST_F(ConsoleTest, ConnectsOnComOneAndDisconnects) {
  EXPECT_EQ(States(), "DDDDDEEEE");
  std::string during_request;
  pump.during_wait = [&] { during_request = States(); };
  Click(kIdConnect);
  EXPECT_EQ(during_request, "DDDDDDEEE");
  EXPECT_TRUE(window.state().Connected);
  EXPECT_EQ(Button(kIdConnect)->text(), "Disconnect");
  EXPECT_EQ(States(), "EEEEEEDDE");
  EXPECT_TRUE(Logged("Opened port COM1, 115200, Parity NONE, Data 8, Stop 1"));
  EXPECT_TRUE(Logged("Device info: [VERITOR-SIM/2.24/SN 000001]"));
  EXPECT_EQ(static_cast<QLabel*>(window.Control(kIdRequestField))->text(), "v");

  Click(kIdConnect);
  EXPECT_EQ(Log().back(), "Closed port COM1");
  EXPECT_EQ(States(), "DDDDDEEEE");
}

TEST_F(ConsoleTest, ComFiveAndABadTypedSpeedAreRefused) {
  ChoosePort(4);
  Click(kIdConnect);
  EXPECT_EQ(prompts.boxes.back().text, "Cannot open port COM5...");
  EXPECT_EQ(Log().back(), "Failed opening COM5 port...");
  EXPECT_EQ(States(), "DDDDDEEEE");

  ChoosePort(0);
  TypeAddress("fast");
  Click(kIdConnect);
  EXPECT_EQ(prompts.boxes.back().text, "Speed 'fast' is not a number of bits per second");
  TypeAddress("9600");
  Click(kIdConnect);
  EXPECT_TRUE(Logged("Opened port COM1, 9600, Parity NONE, Data 8, Stop 1"));
}

TEST_F(ConsoleTest, DetectionFillsTheAddressListAndConnectsOverEachNetworkLink) {
  net.AddSdnpDevice(0x7F000003);
  std::string during_detection;
  pump.during_wait = [&] { during_detection = States(); };
  ChoosePort(12);
  EXPECT_EQ(during_detection, "DDDDDDEED");
  EXPECT_TRUE(Logged("2 devices responded"));
  ASSERT_EQ(Combo(kIdSpeedOrAddress)->count(), 2);
  EXPECT_EQ(Combo(kIdSpeedOrAddress)->currentText(), "127.0.0.2");
  EXPECT_EQ(window.state().TransactionInProgress, 0);
  for (int entry : {12, 13, 14}) {
    if (entry != 12) {
      ChoosePort(entry);
      TypeAddress("127.0.0.2");
    }
    Click(kIdConnect);
    ASSERT_TRUE(window.state().Connected) << entry;
    EXPECT_EQ(window.state().ActiveLink, entry + 1);
    EXPECT_EQ(States(), "EEEEEEDDE");
    EXPECT_TRUE(Logged("init connection with 127.0.0.2"));
    Click(kIdConnect);
    EXPECT_EQ(Log().back(), "Closed network services");
  }
  EXPECT_TRUE(Logged("Init TCP OK:"));
  EXPECT_TRUE(Logged("Init UDP OK:"));
}

TEST_F(ConsoleTest, CommandsRefreshAndABatchThatStopsAtTheFirstFailure) {
  Click(kIdConnect);
  Edit(kIdCommandText)->setText("bogus");
  Click(kIdSendCommand);
  EXPECT_EQ(Log().back(), "Error 0x06: BADREQ (The request code is unsupported) -- Provide a correct request code");
  EXPECT_EQ(static_cast<QLabel*>(window.Control(kIdReplyField))->text(), "06/00/00");
  Click(kIdRefresh);
  EXPECT_EQ(serial.model().RequestLog().back(), "?");

  test::WriteFile(out.file("batch.txt"), "?\r\nbogus\r\nv\r\n");
  Edit(kIdBatchFileName)->setText(QString::fromStdString(out.file("batch.txt")));
  Click(kIdRunBatch);
  const auto log = Log();
  EXPECT_EQ(log[log.size() - 2], "Failed in line 2");
  EXPECT_EQ(log.back(), "Batch aborted in line 2");
  EXPECT_EQ(serial.model().RequestLog().back(), "bogus");
}

TEST_F(ConsoleTest, SignsAFileOfTextAndBinaryBlocksPerLink) {
  std::string content(1500, 't');
  content[900] = '\n';  // the second serial block goes as BASE64
  content[1400] = '\0';
  test::WriteFile(out.file("sign.bin"), content);
  prompts.files = {out.file("sign.bin")};
  Click(kIdBrowseSignFile);
  EXPECT_EQ(Edit(kIdSignFileName)->text().toStdString(), out.file("sign.bin"));
  const struct {
    int entry;
    std::vector<std::string> blocks;
  } cases[] = {{0, {"TEXT block #1 (750 of 1500 bytes)", "BASE64 block #2 (750 of 1500 bytes)"}},
               {12, {"TEXT block #1 (450 of 1500 bytes)", "TEXT block #2 (450 of 1500 bytes)",
                     "TEXT block #3 (450 of 1500 bytes)", "BASE64 block #4 (150 of 1500 bytes)"}},
               {13, {"TEXT block #1 (750 of 1500 bytes)", "BASE64 block #2 (750 of 1500 bytes)"}}};
  for (const auto& c : cases) {
    if (c.entry != 0) {
      ChoosePort(c.entry);
      TypeAddress("127.0.0.2");
    }
    Click(kIdConnect);
    ASSERT_TRUE(window.state().Connected) << c.entry;
    const size_t before = Log().size();
    Click(kIdSignFile);
    const auto log = Log();
    std::vector<std::string> blocks;
    for (size_t i = before; i < log.size(); ++i)
      if (log[i].find(" block #") != std::string::npos) blocks.push_back(log[i]);
    EXPECT_EQ(blocks, c.blocks) << c.entry;
    EXPECT_EQ(log[log.size() - 3].rfind("Done. (" + std::to_string(c.blocks.size()) + " blocks, 1500 bytes, ", 0), 0u)
        << log[log.size() - 3];
    EXPECT_EQ(log.back().rfind("1K transfer requires ", 0), 0u);
    Click(kIdConnect);
  }
}

TEST_F(ConsoleTest, UploadsABitmapRowByRowAndRefusesABadOne) {
  Click(kIdConnect);
  test::WriteFile(out.file("logo.bmp"), test::Bmp(100, 3));
  test::WriteFile(out.file("color.bmp"), test::Bmp(8, 8, 24));
  prompts.files = {out.file("logo.bmp"), out.file("color.bmp")};
  Click(kIdBitmap);
  const auto& rows = serial.model().BitmapRows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].row, 1u);
  EXPECT_EQ(rows[0].bytes.size(), 13u);
  EXPECT_EQ(static_cast<uint8_t>(rows[0].bytes[0]), 0xA5 + 2 * 7) << "row 1 is the last row stored";
  Click(kIdBitmap);
  EXPECT_EQ(prompts.boxes.back().caption, "Format error: BMP file must be back & white format");
  EXPECT_EQ(prompts.boxes.back().text, "\xCE\x95rror");
  EXPECT_EQ(serial.model().BitmapRows().size(), 3u);
}

TEST_F(ConsoleTest, ZReportFromTheButtons) {
  std::filesystem::remove_all(out.path());
  std::filesystem::create_directory(out.path());
  Click(kIdConnect);
  prompts.answers = {true};
  for (const char* request : {"A", "Q", "Q", "Q", "Q", "Q", "Q", "Q", "Q", "Q", "Q", "x/2"}) {
    Edit(kIdCommandText)->setText(request);
    Click(kIdSendCommand);
  }
  EXPECT_EQ(prompts.questions, 1);
  EXPECT_EQ(test::ReadFile(out.file("Z0001_b.txt")).size(), 40u);
  EXPECT_EQ(serial.model().ZCount(), 1u);
}

TEST_F(ConsoleTest, ExitAndEveryDeviceActionAreHeldOffDuringAnExchange) {
  for (int entry : {0, 13}) {
    if (entry == 13) {
      ChoosePort(entry);
      TypeAddress("127.0.0.2");
    }
    Click(kIdConnect);
    ASSERT_TRUE(window.state().Connected);
    const size_t requests = serial.model().RequestLog().size() + net.ModelAt(kDevice).RequestLog().size();
    pump.during_wait = [&] {
      EXPECT_EQ(window.state().TransactionInProgress, 1);
      for (int id : {kIdSendCommand, kIdRefresh, kIdBitmap, kIdExit, kIdConnect}) Click(id);
      window.close();
    };
    Click(kIdRefresh);
    EXPECT_TRUE(window.isVisible()) << entry;
    EXPECT_FALSE(window.state().QuitRequested);
    EXPECT_EQ(serial.model().RequestLog().size() + net.ModelAt(kDevice).RequestLog().size(), requests + 1);
    Click(kIdConnect);
  }
  Click(kIdExit);
  EXPECT_TRUE(window.state().QuitRequested);
}

}  // namespace
}  // namespace veritor

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
