#include "tests/console/console_fixture.h"

#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QMenuBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <tuple>
#include <utility>

#include "console/qt_prompts.h"
#include "core/batch.h"
#include "core/bitmap.h"
#include "core/control_ids.h"
#include "core/file_signing.h"
#include "crypto/base64.h"
#include "sim/in_process.h"
#include "sim/in_process_net.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace veritor {
namespace {

// On the serial link, from the start: the actions from the buttons; no action starts during another exchange.
TEST_F(ConsoleTest, StartsOnComOneThenRunsEachActionWithItsFailuresAndRefusals) {
  EXPECT_EQ(Log(), Lines{"Veritor started"});
  EXPECT_EQ(Combo(kIdPortList)->currentText(), "COM1");
  EXPECT_EQ(Combo(kIdSpeedOrAddress)->currentText(), "115200");
  EXPECT_TRUE(static_cast<QCheckBox*>(window.Control(kIdDetails))->isChecked());
  std::string enabled;
  for (QPushButton* button : window.findChildren<QPushButton*>())
    if (button->isEnabled()) enabled += button->text().toStdString() + " ";
  EXPECT_EQ(enabled, "X .. .. Connect Exit ");
  EXPECT_EQ(window.size(), QSize(570, 419 + window.menu_bar()->height()));

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
  EXPECT_EQ(std::ranges::count(Log(), "Opened port COM1, 9600, Parity NONE, Data 8, Stop 1"), 1);

  Edit(kIdCommandText)->setText("bogus");
  Click(kIdSendCommand);
  EXPECT_EQ(Log().back(), kBadRequest);
  EXPECT_EQ(static_cast<QLabel*>(window.Control(kIdReplyField))->text(), "06/00/00");

  static_cast<QCheckBox*>(window.Control(kIdDetails))->setChecked(false);
  // A line over 1500 bytes goes as its first 1500, and the batch ends with the word veritor-cli gives.
  Edit(kIdBatchFileName)->setText(QString::fromStdString(File("{/0\n@/" + std::string(1499, 't') + "\n}\n")));
  MarkStart();
  Click(kIdRunBatch);
  EXPECT_EQ(Sent(), (Lines{"{/0", "@/" + std::string(1498, 't'), "}"}));
  EXPECT_EQ(Log(), (Lines{"L00001> {/0", "L00002> @/" + std::string(1498, 't'), "Line 2: 1501 bytes, sent as its first 1500",
                          "L00003> }", "Batch cut: 1 of 3 lines sent as their first 1500 bytes"}));

  prompts.answers = {true};
  for (const char* request : {"A", "Q", "Q", "Q", "Q", "Q", "Q", "Q", "Q", "Q", "Q", "x/2"}) {
    Edit(kIdCommandText)->setText(request);
    Click(kIdSendCommand);
  }
  EXPECT_EQ(prompts.questions, 1);
  EXPECT_EQ(test::ReadFile(out.file("Z0001_b.txt")).size(), 40u);
  EXPECT_EQ(serial.model().ZCount(), 1u);

  const std::pair<Action, std::string> refusals[] = {
      {SignFile, "Filename missing!"},
  };
  MarkStart();
  for (const auto& [action, box] : refusals) {
    EXPECT_EQ(action(host, executor, "", false), ActionOutcome::kRefused);
    EXPECT_EQ(prompts.boxes.back().text, box);
    TransactionGuard busy(window.state());
    EXPECT_EQ(action(host, executor, File("?\n"), false), ActionOutcome::kIgnored);
  }

  EXPECT_TRUE(Sent().empty());
}

// The device's bytes are Greek (code page 1253) in the log and the Reply line, typed Greek goes out as one byte a
// letter, and a character the page lacks is refused; another page shows the same stored bytes anew.
TEST_F(ConsoleTest, DeviceTextIsShownAndTypedInTheDevicesCodePage) {
  Click(kIdConnect);
  MarkStart();
  serial.model().ForceReply("00/00/00/\xCA\xC1\xCB\xC7\xCC\xC5\xD1\xC1");
  Send(QStringLiteral("ΚΑΛΗ"));
  EXPECT_EQ(Sent(), Lines{"\xCA\xC1\xCB\xC7"});
  EXPECT_EQ(static_cast<QLabel*>(window.Control(kIdReplyField))->text(), QStringLiteral("00/00/00/ΚΑΛΗΜΕΡΑ"));
  EXPECT_EQ(static_cast<QLabel*>(window.Control(kIdRequestField))->text(), QStringLiteral("ΚΑΛΗ"));
  EXPECT_TRUE(Shown().contains(QStringLiteral("Replied frame [ΚΑΛΗΜΕΡΑ]")));

  MarkStart();
  Send(QStringLiteral("@/☺"));
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(Shown(), QStringList{QStringLiteral("Request not sent: U+263A cannot be written in code page 1253")});

  serial.model().ForceReply("00/00/00/\x80");
  Send(QStringLiteral("?"));
  EXPECT_TRUE(Shown().contains(QStringLiteral("Replied frame [€]")));
  window.SetCodePage(*CodePage::Find(737));
  EXPECT_TRUE(Shown().contains(QStringLiteral("Replied frame [Α]")));
  MarkStart();
  Send(QStringLiteral("Ω"));
  EXPECT_EQ(Sent(), Lines{"\x97"});
}

// A folder, a FIFO (whose open would wait for a writer) and a device are refused before anything goes out, by each
// file action with its box; the sign-file dialog shows every file; cancelling the bitmap dialog uploads nothing.
TEST_F(ConsoleTest, OnlyRegularFilesAreOpenedAndCancellingTheBitmapDialogUploadsNothing) {
  Click(kIdConnect);
  const std::string fifo = out.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, std::string> paths[] = {{".", "a folder"}, {fifo, "a FIFO"}, {"/dev/null", "a device"}};
  for (const auto& [path, what] : paths) {
    SCOPED_TRACE(path);
    MarkStart();
    prompts.boxes.clear();
    Edit(kIdSignFileName)->setText(QString::fromStdString(path));
    Click(kIdSignFile);
    Edit(kIdBatchFileName)->setText(QString::fromStdString(path));
    Click(kIdRunBatch);
    prompts.file = path;
    Click(kIdBitmap);
    const std::string refused = "'" + path + "' is not a regular file but " + what + "; not opened";
    EXPECT_EQ(Log(), (Lines{refused, "Shown: Cannot open file [" + path + "]", refused,
                            "Shown: Can't open file [" + path + "]", refused,
                            "Bitmap refused: File error: Could not open image file"}));
    ASSERT_EQ(prompts.boxes.size(), 3u);
    EXPECT_EQ(prompts.boxes[0].text, "Cannot open file [" + path + "]");
    EXPECT_EQ(prompts.boxes[1].text, "Can't open file [" + path + "]");
    EXPECT_EQ(prompts.boxes[2].caption, "File error: Could not open image file");
    EXPECT_TRUE(Sent().empty());
  }

  Click(kIdBrowseSignFile);
  Click(kIdBrowseBatchFile);
  EXPECT_EQ(Lines(prompts.patterns.end() - 3, prompts.patterns.end()), (Lines{"*.bmp", "*", "*.txt"}));
  for (const auto& [pattern, filter] : {std::pair{"*", "All files (*)"}, {"*.txt", "txt files (*.txt)"}})
    EXPECT_EQ(FileDialogFilter(pattern), QString::fromLatin1(filter));

  Edit(kIdBatchFileName)->setText(QString::fromStdString(File("?\n")));
  prompts.file.reset();
  prompts.boxes.clear();
  MarkStart();
  Click(kIdBitmap);
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(prompts.boxes.empty());
  EXPECT_TRUE(Log().empty());
}

// A choice in the port list during an exchange is not taken and the list shows the link in use again (what
// broken-off actions say the device holds: test_core).
TEST_F(ConsoleTest, PortListShowsTheLinkInUse) {
  net.AddSdnpDevice(kDevice);
  during_wait = [&] { ChoosePort(13); };
  Click(kIdConnect);
  EXPECT_EQ(Combo(kIdPortList)->currentIndex(), 0);
  EXPECT_EQ(window.state().ActiveLink, 1);
  Click(kIdConnect);
  during_wait = [&] { ChoosePort(3); };
  ChoosePort(12);
  EXPECT_EQ(Combo(kIdPortList)->currentText(), "Network");
  EXPECT_EQ(Combo(kIdSpeedOrAddress)->currentText(), "127.0.0.2");
  Click(kIdConnect);
  EXPECT_EQ(window.state().ActiveLink, kLinkSdnp);
  EXPECT_FALSE(std::ranges::count(Log(), "Init TCP OK:"));
  Click(kIdConnect);
  ChoosePort(0);
  Click(kIdConnect);
  ASSERT_TRUE(window.state().Connected);
}

// Entry 0 is COM1, 12 SDNP (choosing it detects the devices), 13 TCP and 14 UDP. The serial link signs printable
// text only; the network links any byte but NUL (and on TCP, whose requests are lines, but CR and LF), and an
// SDNP frame holds 450 bytes of text or 372 in Base64. A Refresh on each link holds off every other action.
TEST_F(ConsoleTest, EachLinkConnectsSignsInItsBlocksAndHoldsOffEveryOtherActionDuringAnExchange) {
  net.AddSdnpDevice(kDevice);
  net.AddSdnpDevice(0x7F000003);
  net.AddTcpDevice(kDevice);
  net.AddUdpDevice(kDevice);
  std::string content(2000, 't');
  content[5] = '\x7F';
  content.replace(800, 3, "\r\n\xE9");
  content[1600] = '\0';
  Edit(kIdSignFileName)->setText(QString::fromStdString(File(content)));
  // Each entry's blocks: BASE64 or not, and size.
  const std::pair<int, std::vector<std::pair<bool, size_t>>> cases[] = {
      {0, {{false, 750}, {true, 750}, {true, 500}}},
      {12, {{false, 450}, {false, 450}, {false, 450}, {true, 372}, {false, 278}}},
      {13, {{false, 750}, {true, 750}, {true, 500}}},
      {14, {{false, 750}, {false, 750}, {true, 500}}},
  };
  for (const auto& [entry, blocks] : cases) {
    SCOPED_TRACE(entry);
    MarkStart();
    std::string during;
    during_wait = [&] { during = States(); };
    if (entry != 0) ChoosePort(entry);
    if (entry == 12) {
      EXPECT_EQ(during, "DDDDDDEED");
      EXPECT_EQ(Combo(kIdSpeedOrAddress)->count(), 2);
    }
    if (entry > 12) TypeAddress("127.0.0.2");
    during_wait = [&] { during = States(); };
    Click(kIdConnect);
    EXPECT_EQ(during, "DDDDDDEEE");
    ASSERT_EQ(States(), "EEEEEEDDE");
    EXPECT_EQ(std::ranges::count(Log(), "Device info: [VERITOR-SIM/2.24/SN 000001]"), 1);

    MarkStart();
    Click(kIdSignFile);
    Lines sent = {"{/0"};
    for (size_t offset = 0; auto [base64, size] : blocks) {
      sent.push_back(base64 ? "&/" + Base64(content.substr(offset, size)) : "@/" + content.substr(offset, size));
      offset += size;
    }
    sent.push_back("}");
    EXPECT_EQ(Sent(), sent);

    MarkStart();
    during_wait = [&] {
      EXPECT_EQ(window.state().TransactionInProgress, 1);
      for (int id : {kIdSendCommand, kIdSignFile, kIdRunBatch, kIdRefresh, kIdBitmap, kIdConnect}) Click(id);
    };
    Click(kIdRefresh);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(Sent(), Lines{"?"});
    Click(kIdConnect);
    EXPECT_EQ(Log().back(), entry == 0 ? "Closed port COM1" : "Closed network services");
  }
}

}  // namespace
}  // namespace veritor

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // veritor-sim is built beside this program.
  if (qEnvironmentVariableIsEmpty("VERITOR_BIN")) {
    const std::string self(argv[0]);
    qputenv("VERITOR_BIN", self.substr(0, self.rfind('/')).c_str());
  }
  QApplication app(argc, argv);
  // Settings go to a folder of this run, never to the user's.
  QTemporaryDir settings_dir;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings_dir.path());
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
