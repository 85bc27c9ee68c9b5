#pragma once

#include <QDialog>
#include <map>
#include <memory>
#include <string>

#include "console/log_model.h"
#include "core/host.h"
#include "session/console_links.h"
#include "platform/byte_port.h"
#include "platform/socket.h"

class QComboBox;
class QTreeView;

namespace veritor {

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

// The console's one window, the dialog "VERITOR": the message log, the
// Request and Reply lines, the status-bit fields, the command, sign and
// batch fields with their buttons, and the link controls.
class MainWindow final : public QDialog, public DisplayFields {
 public:
  explicit MainWindow(ConsoleEnvironment environment);
  ~MainWindow() override;

  void SetFieldText(int control_id, std::string_view text) override;
  // The device's code page, from now on; the log is shown again in it.
  void SetCodePage(const CodePage& page);

  // The control with a window id (core/control_ids.h), for tests.
  QWidget* Control(int id) const;
  LogModel& log_model() { return log_model_; }
  ConsoleState& state() { return state_; }
  ConsoleLinks& links() { return *links_; }
  MessageLog& log() { return log_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;  // Escape does not close the window

 private:
  void CreateControls();
  void InitMainWindow();
  void ConnectSignals();
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
  void RefreshStatus();
  void RunBatch();
  void SignChosenFile();
  void UploadBitmapFile();
  // False when the operator cancelled the file dialog.
  bool Browse(int field, const char* pattern);
  void Exit();
  bool ShutdownConsole();

  ConsoleEnvironment environment_;
  std::map<int, QWidget*> controls_;
  QTreeView* log_view_ = nullptr;
  QComboBox* port_list_ = nullptr;
  QComboBox* speed_or_address_ = nullptr;
  // The entry of 1034 chosen from its list, or -1 once the operator typed.
  int chosen_entry_ = -1;
  // The port-list entry last taken; a choice made during an exchange is not
  // taken and the list shows this one again.
  int taken_port_entry_ = 0;

  LogModel log_model_;
  ModelLogSink log_sink_{log_model_};
  MessageLog log_{log_sink_};
  std::unique_ptr<Prompts> own_prompts_;
  ConsoleState state_;
  std::unique_ptr<Host> host_;
  std::unique_ptr<ConsoleLinks> links_;
};

}  // namespace veritor
