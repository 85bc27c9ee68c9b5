// veritor: the operator's console window.
//   veritor [--echo-log] [--screenshot PATH]
// --echo-log prints every message-log entry on stdout as well; --screenshot
// saves a picture of the window when it closes. VERITOR_CODE_PAGE names the
// device's code page (1253 when unset).

#include <QApplication>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>

#include "console/main_window.h"
#include "console/qt_pump.h"
#include "core/log_entries.h"
#include "platform/paths.h"
#include "platform/posix_serial.h"
#include "platform/posix_socket.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QString screenshot;
  bool echo_log = false;
  const QStringList arguments = app.arguments();
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == QLatin1String("--echo-log")) {
      echo_log = true;
    } else if (arguments[i] == QLatin1String("--screenshot") && i + 1 < arguments.size()) {
      screenshot = arguments[++i];
    } else {
      std::fprintf(stderr, "usage: veritor [--echo-log] [--screenshot PATH]\n");
      return 64;
    }
  }
  std::string error;
  const auto page = veritor::ChooseCodePage(0, std::getenv("VERITOR_CODE_PAGE"), error);
  if (!page) {
    std::fprintf(stderr, "veritor: %s\n", error.c_str());
    return 64;
  }
  veritor::SteadyTickClock clock;
  veritor::QtPump pump;
  veritor::PosixPortOpener opener;
  veritor::PosixNetwork network;
  veritor::MainWindow window({clock, pump, opener, network, veritor::DefaultOutputDirectory(), nullptr, *page});
  if (echo_log) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QObject::connect(&window.log_model(), &QAbstractItemModel::rowsInserted, &window,
                     [&window, &page](const QModelIndex&, int first, int last) {
                       for (int row = first; row <= last; ++row) {
                         const std::string_view entry = window.log_model().Entry(static_cast<size_t>(row));
                         std::fprintf(stdout, "%s\n", page->LogLineToUtf8(entry).c_str());
                       }
                     });
  }
  QObject::connect(&window, &QDialog::finished, &app, [&] {
    if (!screenshot.isEmpty()) window.grab().save(screenshot);
    app.quit();
  });
  window.show();
  return app.exec();
}
