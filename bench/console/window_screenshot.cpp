// window_screenshot PATH: the window against veritor-sim, in the middle of a
// batch with the entries' times, the raw byte view and the progress bar
// showing, saved as a picture (for the README). Run it under a display, e.g.
//   xvfb-run -a -s "-screen 0 1280x900x24" build/bin/window_screenshot docs/console.png

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <fstream>

#include "console/main_window.h"
#include "console/qt_pump.h"
#include "console/raw_view.h"
#include "core/control_ids.h"
#include "platform/posix_serial.h"
#include "platform/posix_socket.h"
#include "tests/support/process.h"

using namespace veritor;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: window_screenshot PATH\n");
    return 64;
  }
  test::FindProgramsBeside(argv[0]);
  test::SimulatorProcess sim;
  setenv("VERITOR_COM1", sim.path().c_str(), 1);
  QApplication app(argc, argv);
  QTemporaryDir folder;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder.path());
  const std::string batch = folder.filePath("batch.txt").toStdString();
  {
    std::ofstream file(batch);
    for (int i = 0; i < 3000; ++i) file << (i % 2 ? "v\n" : "?\n");
  }
  SteadyTickClock clock;
  QtPump pump;
  PosixPortOpener opener;
  PosixNetwork network;
  MainWindow window({clock, pump, opener, network, folder.path().toStdString() + "/"});
  window.resize(760, 600);
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return 1;
  window.ShowTimestamps(true);
  window.ShowRawBytes(true);
  static_cast<QCheckBox*>(window.Control(kIdDetails))->setChecked(false);
  QTest::mouseClick(static_cast<QPushButton*>(window.Control(kIdConnect)), Qt::LeftButton);
  static_cast<QLineEdit*>(window.Control(kIdBatchFileName))->setText(QString::fromStdString(batch));
  static_cast<QLineEdit*>(window.Control(kIdCommandText))->setText(QStringLiteral("v"));
  bool saved = false;
  QTimer::singleShot(2500, &window, [&] {
    window.log_model().Flush();
    window.raw_view()->Flush();
    QApplication::processEvents();
    saved = window.screen()->grabWindow(window.winId()).save(QString::fromLocal8Bit(argv[1]));
    window.RequestStop();
  });
  QTest::mouseClick(static_cast<QPushButton*>(window.Control(kIdRunBatch)), Qt::LeftButton);
  std::printf("%s\n", saved ? "saved" : "not saved");
  return saved ? 0 : 1;
}
