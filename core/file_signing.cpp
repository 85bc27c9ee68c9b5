#include "core/file_signing.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "crypto/base64.h"

namespace veritor {

namespace {

constexpr int kInProgressCode = 0x10;

// The serial link carries TEXT blocks of printable ASCII only (0x7F counts as
// text). The network links carry any byte in a TEXT block but NUL, which
// would end the request text there, and on TCP but CR and LF, which would
// end the request line there and leave the rest to the device as requests.
bool NeedsBase64(int link, const std::string& block) {
  return std::any_of(block.begin(), block.end(), [link](char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (link == kLinkTcp) return byte == 0 || byte == '\r' || byte == '\n';
    return IsNetworkLink(link) ? byte == 0 : byte < 0x20 || byte >= 0x80;
  });
}

// How many bytes a BASE64 block may carry: 450 bytes would make a 602-byte
// request, more than an SDNP frame holds, so SDNP takes 372 (498 bytes).
size_t Base64BlockLimit(int link, size_t block_size) {
  return link == kLinkSdnp ? (kSdnpMaxRequest - 2) / 4 * 3 : block_size;
}

std::string Base64Request(const std::string& bytes) {
  std::string request = "&/";
  request.resize(2 + (bytes.size() + 2) / 3 * 4 + 1);
  const int length = Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), request.data() + 2,
                                  static_cast<int32_t>(bytes.size()));
  request.resize(2 + static_cast<size_t>(std::max(length, 0)));
  return request;
}

// What the path names as the run reads it: a file that is cut, grows or is
// written to while it is signed changes its size or its time.
struct FileStamp {
  uint64_t size = 0;
  std::filesystem::file_time_type written{};
  bool operator==(const FileStamp&) const = default;
};

std::optional<FileStamp> StampOf(const std::string& path) {
  std::error_code error;
  const uint64_t size = std::filesystem::file_size(path, error);
  if (error) return std::nullopt;
  const auto written = std::filesystem::last_write_time(path, error);
  if (error) return std::nullopt;
  return FileStamp{size, written};
}

// One press of "Sign File" once the file is open. Sizes and byte totals are
// 64-bit so that files of 4 GiB and more are counted right.
class SigningRun {
 public:
  SigningRun(Host& host, CommandExecutor& executor, const std::string& path, bool verbose, FileHandle file)
      : host_(host),
        executor_(executor),
        path_(path),
        verbose_(verbose),
        file_(std::move(file)),
        link_(host.state.ActiveLink),
        block_size_(link_ == kLinkSdnp ? kSdnpSigningBlock : kSigningBlock) {}

  ActionOutcome Run() {
    if (!FindFileSize(file_.get(), size_)) return ReadFailed();
    stamp_ = StampOf(path_);
    host_.log.LogMessage("Signing '%s', %llu byte(s)", path_.c_str(), static_cast<unsigned long long>(size_));
    // A file of the system (/proc/self/status) says it holds 0 bytes and
    // then gives more: what the device would sign is not what was announced.
    if (size_ == 0 && std::fgetc(file_.get()) != EOF) return SizeUnknown();
    if (auto failed = Send("{/0", "Failed opening signature block")) return OpeningFailed(*failed);
    const uint32_t start = host_.clock.GetTickCount();
    while (true) {
      if (!FillBlock()) return BrokenOff(ReadFailed());
      if (const auto change = Change()) return BrokenOff(Changed(*change));
      if (pending_.empty()) break;
      if (blocks_ > 0 && host_.StopRequested()) return Stopped();
      if (auto failed = SendBlock()) return BrokenOff(*failed);
      ReportProgress();
    }
    file_.reset();
    if (auto failed = Send("}", "Failed finishing block")) return FinishingFailed(*failed);
    LogStatistics(host_.clock.GetTickCount() - start);
    return ActionOutcome::kAnswered;
  }

 private:
  // Tops the pending bytes up to a whole block from the file; false on a
  // read error.
  bool FillBlock() {
    if (pending_.size() < block_size_ && !std::feof(file_.get())) {
      const size_t kept = pending_.size();
      pending_.resize(block_size_);
      const size_t read = std::fread(pending_.data() + kept, 1, block_size_ - kept, file_.get());
      pending_.resize(kept + read);
      total_ += read;
    }
    return !std::ferror(file_.get());
  }

  // How the file differs from what was announced, before a block that
  // holds what was read goes out, and before "}" signs what went out.
  std::optional<std::string> Change() const {
    if (const std::optional<FileStamp> now = StampOf(path_); stamp_ && now != stamp_) {
      if (!now) return "it is gone";
      if (now->size < size_) return "it was cut to " + std::to_string(now->size) + " byte(s)";
      if (now->size > size_) return "it grew to " + std::to_string(now->size) + " byte(s)";
      return "it was written to";
    }
    if (total_ > size_) return "it gave more bytes than announced";
    if (pending_.empty() && total_ < size_) return "it ended after " + std::to_string(total_) + " byte(s)";
    return std::nullopt;
  }

  ActionOutcome Changed(const std::string& change) {
    host_.log.LogMessage("'%s' changed while it was signed: %s (%llu byte(s) announced); \"}\" not sent",
                         path_.c_str(), change.c_str(), static_cast<unsigned long long>(size_));
    return ActionOutcome::kRefused;
  }

  ActionOutcome SizeUnknown() {
    host_.log.LogMessage("'%s' announces 0 bytes but holds more (a file of the system?); not signed, nothing sent",
                         path_.c_str());
    return ActionOutcome::kRefused;
  }

  std::optional<ActionOutcome> SendBlock() {
    const bool base64 = NeedsBase64(link_, pending_);
    const size_t length = base64 ? std::min(pending_.size(), Base64BlockLimit(link_, block_size_)) : pending_.size();
    const std::string bytes = pending_.substr(0, length);
    pending_.erase(0, length);
    last_block_ = length;
    ++blocks_;
    if (verbose_)
      host_.log.LogMessage("%s block #%u (%u of %llu bytes)", base64 ? "BASE64" : "TEXT", blocks_,
                           static_cast<unsigned>(length), static_cast<unsigned long long>(size_));
    return Send(base64 ? Base64Request(bytes) : "@/" + bytes, "Failed signing data block");
  }

  // Nothing when the device answered with error code 0.
  std::optional<ActionOutcome> Send(const std::string& request, const char* refused_line) {
    if (executor_.ExecuteCommand(request, data_, verbose_) != kResultOk) {
      host_.log.LogMessage("Failed communicating with device");
      return ActionOutcome::kLinkFailure;
    }
    if (executor_.ReplyErrorCode() != 0) {
      host_.log.LogMessage("%s", refused_line);
      return ActionOutcome::kDeviceError;
    }
    return std::nullopt;
  }

  uint64_t BytesSent() const { return total_ - pending_.size(); }

  // Blocks sent plus those the rest of the file makes, as far as can be
  // told before a block's form (TEXT or the shorter BASE64) is known.
  uint64_t EstimatedBlocks() const {
    const uint64_t left = size_ - std::min(size_, BytesSent());
    return blocks_ + (left + block_size_ - 1) / block_size_;
  }

  void ReportProgress() const {
    host_.ReportProgress({.unit = "blocks", .done = blocks_, .total = EstimatedBlocks(), .bytes_done = BytesSent(),
                          .bytes_total = size_});
  }

  // The device keeps its signature block open until "}": it is not sent here,
  // since the device would then sign the part of the file it has as if whole.
  ActionOutcome Stopped() {
    host_.log.LogMessage("Signing stopped after block %u of %llu; the device's signature block is still open: "
                         "it refuses the next \"{/0\" until \"}\" is sent (which signs the %llu byte(s) sent)",
                         blocks_, static_cast<unsigned long long>(EstimatedBlocks()),
                         static_cast<unsigned long long>(BytesSent()));
    return ActionOutcome::kStopped;
  }

  ActionOutcome OpeningFailed(ActionOutcome outcome) {
    if (outcome == ActionOutcome::kLinkFailure)
      host_.log.LogMessage("No reply to \"{/0\": if the device opened its signature block, %s", kOpenBlockRefusal);
    else if (executor_.ReplyErrorCode() == kInProgressCode)
      host_.log.LogMessage("The device holds a signature block opened earlier: %s", kOpenBlockRefusal);
    return outcome;
  }

  // After the device opened its signature block: what went out and what the
  // device now holds. A block without a reply may or may not have reached it.
  ActionOutcome BrokenOff(ActionOutcome outcome) {
    const bool unanswered = outcome == ActionOutcome::kLinkFailure;
    const bool refused = outcome == ActionOutcome::kDeviceError;
    const uint64_t held = BytesSent() - (unanswered || refused ? last_block_ : 0);
    host_.log.LogMessage("Signing broken off: \"{/0\" and %u data block(s) sent%s", blocks_,
                         unanswered ? ", the last without a reply" : refused ? ", the last refused" : "");
    std::string bytes = std::to_string(held) + " of the file's " + std::to_string(size_) + " byte(s)";
    if (unanswered) bytes += " (" + std::to_string(BytesSent()) + " if the last block reached it)";
    host_.log.LogMessage("The device's signature block is still open with %s: %s", bytes.c_str(), kOpenBlockRefusal);
    return outcome;
  }

  ActionOutcome FinishingFailed(ActionOutcome outcome) {
    host_.log.LogMessage("All %llu byte(s) were sent, but \"}\" %s: the signature block may still be open; if so, %s",
                         static_cast<unsigned long long>(total_),
                         outcome == ActionOutcome::kLinkFailure ? "got no reply" : "was refused", kOpenBlockRefusal);
    return outcome;
  }

  ActionOutcome ReadFailed() {
    host_.log.LogMessage("Failed reading '%s'", path_.c_str());
    return ActionOutcome::kRefused;
  }

  // The rates in single precision, as the console has always shown them.
  void LogStatistics(uint32_t elapsed) {
    host_.log.LogMessage("Done. (%u blocks, %llu bytes, %lu milliseconds)", blocks_,
                         static_cast<unsigned long long>(total_), static_cast<unsigned long>(elapsed));
    float rate = static_cast<float>(total_) * 1000.0f;
    if (elapsed != 0) rate /= static_cast<float>(elapsed);
    host_.log.LogMessage("Transfer rate: %.2f bytes/sec", static_cast<double>(rate));
    if (total_ == 0) return;
    const float per_kilobyte = static_cast<float>(elapsed) * 1024.0f / static_cast<float>(total_);
    host_.log.LogMessage("1K transfer requires %.2f milliseconds", static_cast<double>(per_kilobyte));
  }

  Host& host_;
  CommandExecutor& executor_;
  const std::string& path_;
  const bool verbose_;
  FileHandle file_;
  const int link_;
  const size_t block_size_;
  uint64_t size_ = 0;
  std::optional<FileStamp> stamp_;  // none when the path cannot be looked at
  uint64_t total_ = 0;
  uint32_t blocks_ = 0;
  size_t last_block_ = 0;  // file bytes in the last block sent
  std::string pending_;  // read from the file, not sent yet
  std::string data_;
};

}  // namespace

ActionOutcome SignFile(Host& host, CommandExecutor& executor, const std::string& path, bool verbose) {
  if (host.state.TransactionInProgress) return ActionOutcome::kIgnored;
  if (path.empty()) {
    host.prompts.ErrorBox("Filename missing!");
    return ActionOutcome::kRefused;
  }
  FileHandle file = OpenForReading(host.log, path);
  if (!file) {
    host.prompts.ErrorBox("Cannot open file [" + path + "]");
    return ActionOutcome::kRefused;
  }
  return SigningRun(host, executor, path, verbose, std::move(file)).Run();
}

}  // namespace veritor
