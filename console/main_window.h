#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console/log_model.h"
#include "console/logging_prompts.h"
#include "core/action_control.h"
#include "core/batch.h"
#include "core/host.h"
#include "platform/byte_port.h"
#include "platform/byte_tap.h"
#include "platform/serial_enum.h"
#include "platform/socket.h"
#include "plan/plan_runner.h"
#include "session/console_links.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTreeView;

namespace veritor {

class RawByteView;

// What the window runs on: the real machine, or a simulation in tests.
struct ConsoleEnvironment {
  TickClock& clock;
  MessagePump& pump;
  PortOpener& opener;
  Network& network;
  std::string output_directory;
  Prompts* prompts = nullptr;  // null: Qt's message boxes and file dialog
  // The device's code page: how its bytes are shown and typed text is sent.
  CodePage code_page = *CodePage::Find(kDefaultCodePage);
};

// Where the continuous log file goes; an empty folder: nowhere.
struct LogFileSettings {
  std::string folder;
  bool per_day = true;  // one file per day, else one per run
};

// The console's one window, the dialog "VERITOR": the message log, the
// Request and Reply lines, the status-bit fields, the command, sign and
// batch fields with their buttons, and the link controls; above them a menu
// bar, in the log area the raw byte view and the progress of a long action.
class MainWindow final : public QDialog, public DisplayFields, public ActionControl {
 public:
  explicit MainWindow(ConsoleEnvironment environment);
  ~MainWindow() override;

  void SetFieldText(int control_id, std::string_view text) override;
  // The device's code page, from now on; the log is shown again in it.
  void SetCodePage(const CodePage& page);
  void ReportProgress(const ActionProgress& progress) override;
  bool StopRequested() override { return stop_requested_; }

  // The control with a window id (core/control_ids.h), for tests.
  QWidget* Control(int id) const;
  LogModel& log_model() { return log_model_; }
  ConsoleState& state() { return state_; }
  ConsoleLinks& links() { return *links_; }
  MessageLog& log() { return log_; }
  QMenuBar* menu_bar() const { return menu_bar_; }
  // The menu of device actions; test plans add their entry here.
  QMenu* device_menu() const { return device_menu_; }
  QAction* Action(const QString& name) const;
  QProgressBar* progress_bar() const { return progress_bar_; }
  QLabel* progress_label() const { return progress_label_; }
  RawByteView* raw_view() const { return raw_view_; }
  bool LongActionRunning() const { return long_action_; }

  // Stops the long action that runs after its exchange in flight.
  void RequestStop();
  void ShowRawBytes(bool on);
  void ShowTimestamps(bool on);
  void ApplyLogFileSettings(const LogFileSettings& settings);
  // How the TCP device ends its replies (File > Settings), kept with the settings.
  void SetTcpReplyEnd(TcpReplyEnd end);
  const std::string& log_file_path() const { return log_file_path_; }
  bool SaveLog(const std::string& path);
  void CopySelectedEntries();
  void CopyFocused();
  static void CopyFieldText(QLabel* field);
  void SaveSettings() const;
  // Asks where to save the log; tests answer without a dialog.
  std::function<std::string()> ask_save_path;
  // Asks for bytes in hex (Device > Send bytes...); tests answer without a dialog.
  std::function<std::optional<std::string>()> ask_bytes;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;  // Escape stops a long action, never closes the window
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  enum class Anchor { kFill, kStretch, kBottom, kBottomRight };
  struct Placed {
    QWidget* widget;
    QRect base;
    Anchor anchor;
  };

  void CreateControls();
  void KeepFocusMarked();
  void RunExchange(const std::function<void()>& exchange);
  bool FinishPendingClose();
  std::vector<QWidget*> HoldDeviceControls();
  void ReleaseDeviceControls(const std::vector<QWidget*>& held);
  void LeaveDuringExchange();
  void CloseLogFile();
  void CreateLogArea();
  void CreateMenus();
  void PlaceControls();
  void InitMainWindow();
  void FillPortList();
  void ConnectSignals();
  void LoadSettings();
  QSize FitScreen(QSize size);
  void SetEnabled(std::initializer_list<int> ids, bool enabled);
  std::string FieldText(int id) const;
  bool Details() const;

  void OnPortSelected();
  void FillBaudRates();
  void DetectNetworkDevices();
  void PrepareNetworkEntry(const char* message);
  void ConnectOrDisconnect();
  bool ReadSerialSpeed(unsigned long& speed);
  std::string ReadDeviceAddressText() const;
  void Disconnect();
  void SendTypedCommand();
  void RecallCommand(int step);
  void RefreshStatus();
  void RunBatch();
  void SignChosenFile();
  void UploadBitmapFile();
  ActionOutcome RunLongAction(const char* name, const std::function<ActionOutcome()>& action);
  void UpdateProgress();
  // False when the operator cancelled the file dialog.
  bool Browse(int field, const char* pattern);
  void SaveLogAs();
  void RunPlan();
  void SendTypedBytes();
  void OpenSettingsDialog();
  void Exit();
  bool ShutdownConsole();

  ConsoleEnvironment environment_;
  std::map<int, QWidget*> controls_;
  std::vector<Placed> placed_;
  QMenuBar* menu_bar_ = nullptr;
  QMenu* device_menu_ = nullptr;
  QWidget* log_area_ = nullptr;
  QSplitter* log_splitter_ = nullptr;
  QTreeView* log_view_ = nullptr;
  RawByteView* raw_view_ = nullptr;
  QWidget* progress_row_ = nullptr;
  QProgressBar* progress_bar_ = nullptr;
  QLabel* progress_label_ = nullptr;
  QPushButton* stop_button_ = nullptr;
  QComboBox* port_list_ = nullptr;
  QComboBox* speed_or_address_ = nullptr;
  std::map<QString, QAction*> actions_;
  // The entry of 1034 chosen from its list, or -1 once the operator typed.
  int chosen_entry_ = -1;
  // The port-list entry last taken; a choice made during an exchange is not
  // taken and the list shows this one again.
  int taken_port_entry_ = 0;
  std::vector<SerialDeviceEntry> devices_;  // the port list's entries after UDP
  std::array<bool, 16> bit_set_{};  // which status-bit fields stand out

  std::vector<QString> history_;
  size_t history_at_ = 0;

  bool long_action_ = false;
  bool stop_requested_ = false;
  bool close_after_action_ = false;
  bool exchange_running_ = false;
  bool log_at_bottom_ = true;  // a Connect, Send or Refresh
  QWidget* focus_before_action_ = nullptr;
  const char* action_name_ = "";
  ActionProgress progress_;
  uint32_t action_start_ = 0;
  QTimer progress_timer_;

  LogFileSettings log_file_settings_;
  std::string log_file_path_;
  bool log_file_applied_ = false;
  std::string run_started_;  // date and time of the start, for a file per run

  LogModel log_model_;
  ModelLogSink log_sink_{log_model_};
  MessageLog log_{log_sink_};
  std::unique_ptr<Prompts> own_prompts_;
  std::unique_ptr<LoggingPrompts> prompts_;
  std::unique_ptr<PlanPrompts> plan_prompts_;
  ConsoleState state_;
  TapSwitch tap_;
  TappingPortOpener opener_;
  TappingNetwork network_;
  std::unique_ptr<Host> host_;
  std::unique_ptr<ConsoleLinks> links_;
};

}  // namespace veritor
