#pragma once

namespace veritor {

// The chosen link: 1 to 12 are serial port numbers (COM1 to COM12), then the
// three network links.
enum LinkNumber : int {
  kLinkSdnp = 13,
  kLinkTcp = 14,
  kLinkUdp = 15,
};

inline bool IsNetworkLink(int link) { return link == kLinkSdnp || link == kLinkTcp || link == kLinkUdp; }

// State shared by the console and the protocol code, one instance per run.
struct ConsoleState {
  int ActiveLink = 1;
  bool Connected = false;
  bool QuitRequested = false;
  // Set for the length of every device exchange; device actions and Exit do
  // nothing while it is set, because waits pump the event loop.
  int TransactionInProgress = 0;
  // The Details setting of the last command; the network links read it to
  // decide whether to log their frame lines.
  bool VerboseFlag = false;
};

// Sets TransactionInProgress for the life of a scope and puts back what it
// was on every way out, so that guards may nest.
class TransactionGuard {
 public:
  explicit TransactionGuard(ConsoleState& state) : state_(state), before_(state.TransactionInProgress) {
    state_.TransactionInProgress = 1;
  }
  ~TransactionGuard() { state_.TransactionInProgress = before_; }
  TransactionGuard(const TransactionGuard&) = delete;
  TransactionGuard& operator=(const TransactionGuard&) = delete;

 private:
  ConsoleState& state_;
  int before_;
};

}  // namespace veritor
