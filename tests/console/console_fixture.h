#pragma once

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "console/main_window.h"
#include "console/raw_view.h"
#include "core/control_ids.h"
#include "crypto/base64.h"
#include "sim/in_process.h"
#include "sim/in_process_net.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_host.h"

namespace veritor {

using Lines = std::vector<std::string>;
inline const Ipv4Address kDevice = 0x7F000002;
inline const char kBadRequest[] = "Error 0x06: BADREQ (The request code is unsupported) -- Provide a correct request code";

inline std::string Base64(const std::string& bytes) {
  std::string text(bytes.size() * 2 + 4, '\0');
  text.resize(Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), text.data(), int32_t(bytes.size())));
  return text;
}

// Some of the text matches; "^" and "$" match at every line.
inline bool Finds(const std::string& text, const std::string& pattern) {
  return QRegularExpression(QString::fromStdString(pattern), QRegularExpression::MultilineOption)
      .match(QString::fromStdString(text)).hasMatch();
}
// The whole text matches the pattern.
inline bool Matches(const std::string& text, const std::string& pattern) {
  return Finds(text, "\\A(?:" + pattern + ")\\z");
}

// The window's log entries, as it holds them.
inline Lines Entries(MainWindow& window) {
  window.log_model().Flush();
  Lines entries;
  for (size_t i = 0; i < window.log_model().EntryCount(); ++i) entries.emplace_back(window.log_model().Entry(i));
  return entries;
}

// A 1-bit BMP file with an 8-byte colour table.
inline std::string Bmp(uint32_t width, uint32_t height) {
  std::string file(62, '\0');
  for (const auto& [offset, value] : {std::pair{10u, 62u}, {18u, width}, {22u, height}, {28u, 1u}})
    for (unsigned i = 0; i < 4; ++i) file[offset + i] = static_cast<char>(value >> (8 * i));
  return file + std::string((width + 31) / 32 * 4 * height, '\xA5');
}

// The window against the in-process devices; the actions also run directly on its links, log and state.
// A turn of the pump lets the devices act and the window handle its events, and a test may step in.
class ConsoleTest : public ::testing::Test, public MessagePump {
 protected:
  VirtualTickClock clock;
  sim::InProcessSerial serial{clock};
  sim::InProcessNetwork net{clock};
  test::ScriptedPrompts prompts;
  test::TempDir out;
  std::function<void()> during_wait;
  std::function<void()> every_turn;  // called on every turn until cleared
  // Each test's window starts from no saved settings (main() points them to a folder of its own).
  bool no_settings = (QSettings(QStringLiteral("Veritor"), QStringLiteral("veritor")).clear(), true);
  MainWindow window{{clock, *this, serial.opener(), net.network(), out.slash(), &prompts}};
  Host host{clock, *this, window.log(), window, prompts, window.state()};
  CommandExecutor& executor = window.links().executor();
  size_t requests_before = 0;

  void PumpOneMessage() override {
    serial.pump().PumpOneMessage();
    net.pump().PumpOneMessage();
    QCoreApplication::processEvents();
    if (during_wait) std::exchange(during_wait, nullptr)();
    if (every_turn) every_turn();
  }
  void SetUp() override {
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  }
  QComboBox* Combo(int id) { return static_cast<QComboBox*>(window.Control(id)); }
  QLineEdit* Edit(int id) { return static_cast<QLineEdit*>(window.Control(id)); }
  QLabel* Label(int id) { return static_cast<QLabel*>(window.Control(id)); }
  void Click(int id) { QTest::mouseClick(static_cast<QPushButton*>(window.Control(id)), Qt::LeftButton); }
  void ChoosePort(int index) {
    Combo(kIdPortList)->setCurrentIndex(index);
    emit Combo(kIdPortList)->activated(index);
  }
  void TypeAddress(const QString& text) {
    Combo(kIdSpeedOrAddress)->lineEdit()->clear();
    QTest::keyClicks(Combo(kIdSpeedOrAddress)->lineEdit(), text);
  }
  Lines Log() { return Entries(window); }
  // "E" or "D" for each control, in the order of the state table.
  std::string States() {
    std::string states;
    for (int id : {kIdSendCommand, kIdSignFile, kIdRefresh, kIdRunBatch, kIdBitmap, kIdConnect, kIdPortList,
                   kIdSpeedOrAddress, kIdExit})
      states += window.Control(id)->isEnabled() ? 'E' : 'D';
    return states;
  }
  sim::DeviceModel& Model() { return IsNetworkLink(window.state().ActiveLink) ? net.ModelAt(kDevice) : serial.model(); }
  // Clears the log ("X") and notes where the device's request log stands.
  void MarkStart() {
    Click(kIdClearLog);
    requests_before = Model().RequestLog().size();
  }
  void Connect() {
    Click(kIdConnect);
    ASSERT_TRUE(window.state().Connected);
  }
  Lines Sent() {
    const Lines& all = Model().RequestLog();
    return Lines(all.begin() + static_cast<long>(requests_before), all.end());
  }
  // The log as the window shows it.
  QStringList Shown() {
    window.log_model().Flush();
    QStringList shown;
    for (int row = 0; row < window.log_model().rowCount(); ++row)
      shown << window.log_model().data(window.log_model().index(row), Qt::DisplayRole).toString();
    return shown;
  }
  // What the raw view shows; ClearRaw() empties it.
  std::string Raw() {
    window.raw_view()->Flush();
    return window.raw_view()->toPlainText().toStdString();
  }
  void ClearRaw() {
    window.raw_view()->Flush();
    window.raw_view()->clear();
  }
  void Send(const QString& typed) {
    Edit(kIdCommandText)->setText(typed);
    Click(kIdSendCommand);
  }
  std::string File(const std::string& content) {
    test::WriteFile(out.file("file"), content);
    return out.file("file");
  }
};

}  // namespace veritor
