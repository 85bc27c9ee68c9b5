// veritor: the operator's console window.
//   veritor [--echo-log] [--screenshot PATH] [-h|--help] [--version]
// --echo-log prints every message-log entry on stdout as well; --screenshot
// saves a picture of the window when it closes. VERITOR_CODE_PAGE names the
// device's code page (1253 when unset).

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QImageWriter>
#include <QPixmap>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "console/main_window.h"
#include "console/qt_pump.h"
#include "core/log_entries.h"
#include "platform/paths.h"
#include "platform/posix_serial.h"
#include "platform/posix_socket.h"

namespace {

constexpr int kExitUsage = 64;
constexpr int kExitFailure = 1;  // no display to show the window on, or the screenshot not written

constexpr const char* kUsage =
    "usage: veritor [--echo-log] [--screenshot PATH] [Qt options...]\n"
    "The operator's console window for a fiscal signature device.\n"
    "\n"
    "  --echo-log         print every message-log entry on stdout as well\n"
    "  --screenshot PATH  save a picture of the window when it closes\n"
    "  -h, --help         this text\n"
    "  -V, --version      the version\n"
    "\n"
    "Qt's own options (-platform NAME, -display NAME, -style NAME) are passed on.\n"
    "COMn opens the path in VERITOR_COMn, else /dev/ttyS(n-1).\n"
    "Without a display: xvfb-run -a veritor, or the command line, veritor-cli.\n";

constexpr const char* kNoDisplay =
    "veritor: there is no display to show the window on (%s).\n"
    "Run it on a virtual display, xvfb-run -a veritor, or use the command line: veritor-cli --help.\n";

struct ConsoleOptions {
  bool echo_log = false;
  QString screenshot;
};

// The command line is read before the application object exists, so that
// --help and --version work without a display. Qt's options that take a
// value are known here only to be passed on to QApplication untouched.
std::optional<ConsoleOptions> ParseCommandLine(int argc, char** argv, int& exit_status) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  QCommandLineParser parser;
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption help(QStringList{"h", "help"});
  const QCommandLineOption version(QStringList{"V", "version"});
  const QCommandLineOption echo_log("echo-log");
  const QCommandLineOption screenshot("screenshot", "", "PATH");
  parser.addOptions({help, version, echo_log, screenshot});
  for (const char* qt_option : {"platform", "display", "style", "stylesheet", "geometry", "qwindowgeometry",
                                "qwindowtitle", "qwindowicon", "platformtheme", "plugin"}) {
    parser.addOption(QCommandLineOption(qt_option, "", "VALUE"));
  }
  for (const char* qt_flag : {"reverse", "widgetcount", "nograb", "dograb", "sync"}) {
    parser.addOption(QCommandLineOption(qt_flag));
  }
  exit_status = 0;
  if (!parser.parse(arguments)) {
    std::fprintf(stderr, "veritor: %s\nTry 'veritor --help'.\n", qPrintable(parser.errorText()));
    exit_status = kExitUsage;
    return std::nullopt;
  }
  if (!parser.positionalArguments().isEmpty()) {
    std::fprintf(stderr, "veritor: unexpected argument '%s'\nTry 'veritor --help'.\n",
                 qPrintable(parser.positionalArguments().first()));
    exit_status = kExitUsage;
    return std::nullopt;
  }
  if (parser.isSet(help)) {
    std::fputs(kUsage, stdout);
    return std::nullopt;
  }
  if (parser.isSet(version)) {
    std::printf("veritor %s\n", VERITOR_VERSION);
    return std::nullopt;
  }
  return ConsoleOptions{parser.isSet(echo_log), parser.value(screenshot)};
}

// --echo-log: every log entry on stdout as well. The echo is a convenience:
// when stdout cannot take it (its reader went away, a full disk, EIO) the echo
// stops, the window's log says so once with the reason, and the window goes on.
void EchoLog(veritor::MainWindow& window, const veritor::CodePage& page) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  auto stopped = std::make_shared<bool>(false);
  QObject::connect(&window.log_model(), &QAbstractItemModel::rowsInserted, &window,
                   [&window, page, stopped](const QModelIndex&, int first, int last) {
                     if (*stopped) return;
                     errno = 0;
                     for (int row = first; row <= last; ++row) {
                       const auto entry = static_cast<size_t>(row);
                       const std::string line =
                           page.LogLineToUtf8(window.log_model().Entry(entry), window.log_model().EntryOrigin(entry));
                       if (std::fprintf(stdout, "%s\n", line.c_str()) < 0) break;
                     }
                     if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
                     *stopped = true;
                     const std::string reason = std::strerror(errno != 0 ? errno : EIO);
                     // Logged once the model has finished the insertion under way.
                     QMetaObject::invokeMethod(
                         &window,
                         [&window, reason] {
                           window.log().LogMessage("Echo of the log on stdout stopped: %s", reason.c_str());
                         },
                         Qt::QueuedConnection);
                   });
}

// Qt ends the program with abort() when no platform plugin can show a
// window (no DISPLAY, an X server that cannot be reached); the operator gets
// a word on what to do instead, and an exit status that is not a crash.
QtMessageHandler qt_message_handler = nullptr;

void NoDisplayHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtFatalMsg) {
    const QByteArray display = qgetenv("DISPLAY");
    const QByteArray why = display.isEmpty() ? "DISPLAY is not set" : "DISPLAY " + display + " cannot be reached";
    std::fprintf(stderr, kNoDisplay, why.constData());
    std::fflush(stderr);
    std::_Exit(kExitFailure);
  }
  if (qt_message_handler) qt_message_handler(type, context, message);
}

// A screenshot path is checked before the window opens: a folder that is not
// there or not writable, or a format Qt cannot write, would lose the picture.
bool ScreenshotPathUsable(const QString& path) {
  const QFileInfo file(path);
  const QFileInfo folder(file.absolutePath());
  const char* reason = nullptr;
  if (!folder.isDir())
    reason = "the folder does not exist";
  else if (!folder.isWritable())
    reason = "the folder is not writable";
  else if (!QImageWriter::supportedImageFormats().contains(file.suffix().toLower().toLatin1()))
    reason = "no image format is known by that file name's ending (.png, .jpg, .bmp)";
  if (reason == nullptr) return true;
  std::fprintf(stderr, "veritor: cannot write the screenshot to '%s': %s\n", qPrintable(path), reason);
  return false;
}

bool SaveScreenshot(QWidget& window, const QString& path) {
  QImageWriter writer(path);
  if (writer.write(window.grab().toImage())) return true;
  std::fprintf(stderr, "veritor: the screenshot could not be written to '%s': %s\n", qPrintable(path),
               qPrintable(writer.errorString()));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  int exit_status = 0;
  const std::optional<ConsoleOptions> options = ParseCommandLine(argc, argv, exit_status);
  if (!options) return exit_status;
  std::string error;
  const auto page = veritor::ChooseCodePage(0, std::getenv("VERITOR_CODE_PAGE"), error);
  if (!page) {
    std::fprintf(stderr, "veritor: %s\n", error.c_str());
    return kExitUsage;
  }
  // A write to a pipe whose reader went away fails with EPIPE (the echo
  // stops) instead of killing the window.
  signal(SIGPIPE, SIG_IGN);
  if (!options->screenshot.isEmpty() && !ScreenshotPathUsable(options->screenshot)) return kExitUsage;
  qt_message_handler = qInstallMessageHandler(NoDisplayHandler);
  QApplication app(argc, argv);
  qInstallMessageHandler(qt_message_handler);
  const QString screenshot = options->screenshot;
  const bool echo_log = options->echo_log;
  veritor::SteadyTickClock clock;
  veritor::QtPump pump;
  veritor::PosixPortOpener opener;
  veritor::PosixNetwork network;
  veritor::MainWindow window({clock, pump, opener, network, veritor::DefaultOutputDirectory(), nullptr, *page});
  if (echo_log) EchoLog(window, *page);
  QObject::connect(&window, &QDialog::finished, &app, [&] {
    const bool saved = screenshot.isEmpty() || SaveScreenshot(window, screenshot);
    app.exit(saved ? 0 : kExitFailure);
  });
  window.show();
  return app.exec();
}
