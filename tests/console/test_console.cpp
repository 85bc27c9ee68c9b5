#include "tests/console/console_fixture.h"

#include <sys/stat.h>

#include <QMenuBar>
#include <QTemporaryDir>

#include <algorithm>
#include <tuple>

#include "core/file_signing.h"

namespace veritor {
namespace {

// On the serial link, from the start: the actions from the buttons, their failures and refusals.
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
  Send("bogus");
  EXPECT_EQ(Log().back(), kBadRequest);
  EXPECT_EQ(Label(kIdReplyField)->text(), "06/00/00");

  static_cast<QCheckBox*>(window.Control(kIdDetails))->setChecked(false);
  // A line over 1500 bytes goes as its first 1500, and the batch ends with the word veritor-cli gives.
  Edit(kIdBatchFileName)->setText(QString::fromStdString(File("{/0\n@/" + std::string(1499, 't') + "\n}\n")));
  MarkStart();
  Click(kIdRunBatch);
  EXPECT_EQ(Sent(), (Lines{"{/0", "@/" + std::string(1498, 't'), "}"}));
  EXPECT_EQ(Log(), (Lines{"L00001> {/0", "L00002> @/" + std::string(1498, 't'), "Line 2: 1501 bytes, sent as its first 1500",
                          "L00003> }", "Batch cut: 1 of 3 lines sent as their first 1500 bytes"}));

  // The Z report: the operator's answer stands in the log, and Yes writes the B file.
  prompts.answers = {true};
  for (const char* request : {"A", "Q", "Q", "Q", "Q", "Q", "Q", "Q", "Q", "Q", "Q", "x/2"}) Send(request);
  EXPECT_EQ(prompts.questions, 1);
  EXPECT_TRUE(std::ranges::any_of(Log(), [](const std::string& l) {
    return l.starts_with("Asked: Calculated signature: ") &&
           l.ends_with("Is this signature identical with the one in Zreport? Answer: Yes");
  })) << ::testing::PrintToString(Log());
  EXPECT_EQ(test::ReadFile(out.file("Z0001_b.txt")).size(), 40u);

  MarkStart();
  EXPECT_EQ(SignFile(host, executor, "", false), ActionOutcome::kRefused);
  EXPECT_EQ(prompts.boxes.back().text, "Filename missing!");
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
  EXPECT_EQ(Label(kIdReplyField)->text(), QStringLiteral("00/00/00/ΚΑΛΗΜΕΡΑ"));
  EXPECT_EQ(Label(kIdRequestField)->text(), QStringLiteral("ΚΑΛΗ"));

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
    EXPECT_EQ(prompts.boxes.size(), 3u);  // each "Shown:" or refused line above is a box
    EXPECT_TRUE(Sent().empty());
  }

  Click(kIdBrowseSignFile);
  Click(kIdBrowseBatchFile);
  EXPECT_EQ(Lines(prompts.patterns.end() - 3, prompts.patterns.end()), (Lines{"*.bmp", "*", "*.txt"}));

  prompts.file.reset();
  MarkStart();
  Click(kIdBitmap);
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(Log().empty()) << "no box, no refusal";
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
// SDNP frame holds 450 bytes of text or 372 in Base64. A Refresh holds off every other action. Device > Send
// bytes... writes the typed bytes as they are (one datagram, one piece of the stream), the raw view shows what went
// each way, and the next request goes as if nothing had been sent between, shown in the Request line refused or not.
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
  window.ShowRawBytes(true);
  // Each entry's blocks (BASE64 or not, and size), the bytes typed for Send bytes and what the raw view shows.
  const std::tuple<int, std::vector<std::pair<bool, size_t>>, const char*, std::string> cases[] = {
      {0, {{false, 750}, {true, 750}, {true, 500}}, "05",
       "serial >> 1 byte  05  \\|<ENQ>\\|\n.* serial << 1 byte  06  \\|<ACK>\\|"},
      {12, {{false, 450}, {false, 450}, {false, 450}, {true, 372}, {false, 278}}, "02 76 2F 36 35 03",
       "udp >> 6 bytes  02 76 2F 36 35 03  \\|"},
      {13, {{false, 750}, {true, 750}, {true, 500}}, "0276 2f3635 03", "tcp >> 6 bytes  02 76 2F 36 35 03  \\|"},
      {14, {{false, 750}, {false, 750}, {true, 500}}, "00 01", "udp >> 2 bytes  00 01  \\|<NUL>.\\|"},
  };
  for (const auto& [entry, blocks, typed, raw_shown] : cases) {
    SCOPED_TRACE(entry);
    MarkStart();
    ClearRaw();
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
    const std::string connected = Raw(), link = raw_shown.substr(0, raw_shown.find(' '));  // with each frame's time
    EXPECT_TRUE(Finds(connected, "^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} " + link + " << \\d+ bytes  .*VERITOR-SIM"))
        << connected;

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

    ClearRaw();
    MarkStart();
    window.ask_bytes = [typed = std::string(typed)] { return std::optional<std::string>(typed); };
    window.Action("Send bytes...")->trigger();
    const std::string raw = Raw();
    EXPECT_TRUE(Finds(raw, raw_shown)) << raw;
    EXPECT_TRUE(Log().back().starts_with("Sent ")) << Log().back();
    EXPECT_TRUE(Sent().empty());
    // On TCP the bytes went into the stream, and the device reads the next request after them.
    Send("v");
    EXPECT_EQ(Sent(), Lines{entry == 13 ? "\x02v/65\x03v" : "v"});
    if (entry != 13) { EXPECT_EQ(Label(kIdReplyField)->text().left(6), "00/00/"); }  // after a signing
    // A refused request stands in the Request line on every link, as does one too long to send.
    for (const std::string& refused : {std::string("bogus"), std::string(1999, 'Q')}) {
      Send(QString::fromStdString(refused));
      EXPECT_EQ(Label(kIdRequestField)->text().toStdString(), refused);
    }
    Click(kIdConnect);
    EXPECT_EQ(Log().back(), entry == 0 ? "Closed port COM1" : "Closed network services");
  }
  ChoosePort(0);
  Connect();
  MarkStart();
  for (const std::string refused : {"0", "05 0", "zz", ""}) {
    window.ask_bytes = [refused] { return std::optional<std::string>(refused); };
    window.Action("Send bytes...")->trigger();
    EXPECT_EQ(prompts.boxes.back().text, "'" + refused + "' is not bytes in hex, such as 02 76 2F 36 35 03");
  }
  EXPECT_TRUE(Sent().empty());
}

}  // namespace
}  // namespace veritor

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // Settings go to a folder of this run, never to the user's.
  QTemporaryDir settings_dir;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings_dir.path());
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
