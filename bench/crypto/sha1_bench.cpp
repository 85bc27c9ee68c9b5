// Times FileFingerprint against the system sha1sum on the same file.
//
//   bench_sha1 [path]
//
// Without a path it writes 256 MiB of pseudo-random bytes to a temporary file
// and removes it afterwards. Exit 0 when both digests agree, 1 when they do
// not, 2 when the run could not be made.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "crypto/sha1.h"
#include "crypto/sha1_paths.h"

namespace {

namespace fs = std::filesystem;

constexpr uintmax_t kGeneratedSize = 256u << 20;
constexpr int kTimedRuns = 3;

class TemporaryFile {
 public:
  TemporaryFile()
      : path_(fs::temp_directory_path() /
              ("veritor-sha1-bench-" + std::to_string(std::random_device{}()) + ".bin")) {}
  ~TemporaryFile() {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

bool WritePseudoRandomFile(const fs::path& path, uintmax_t size) {
  std::ofstream out(path, std::ios::binary);
  std::vector<uint64_t> chunk((1u << 20) / sizeof(uint64_t));
  uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (uintmax_t written = 0; out && written < size; written += chunk.size() * sizeof(uint64_t)) {
    for (uint64_t& word : chunk) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      word = state;
    }
    const auto bytes = std::min<uintmax_t>(chunk.size() * sizeof(uint64_t), size - written);
    out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(bytes));
  }
  return static_cast<bool>(out.flush());
}

void ReadThrough(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chunk(1u << 20);
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()))) {
  }
}

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::optional<std::string> Sha1sumDigest(const fs::path& path) {
  std::FILE* pipe = popen(("sha1sum " + ShellQuoted(path.string()) + " 2>/dev/null").c_str(), "r");
  if (!pipe) return std::nullopt;
  std::string digest(40, '\0');
  const size_t got = std::fread(digest.data(), 1, digest.size(), pipe);
  if (pclose(pipe) != 0 || got != digest.size()) return std::nullopt;
  for (char& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return digest;
}

std::optional<std::string> OwnDigest(const fs::path& path) {
  char text[41];
  if (veritor::FileFingerprint(path.c_str(), text) != veritor::kFingerprintOk) return std::nullopt;
  return std::string(text);
}

struct Timing {
  double bestSeconds = 0;
  std::optional<std::string> digest;
};

Timing BestOf(const std::function<std::optional<std::string>()>& run) {
  Timing timing;
  for (int i = 0; i < kTimedRuns; ++i) {
    const auto start = std::chrono::steady_clock::now();
    timing.digest = run();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!timing.digest) return timing;
    if (i == 0 || elapsed.count() < timing.bestSeconds) timing.bestSeconds = elapsed.count();
  }
  return timing;
}

double MegabytesPerSecond(uintmax_t bytes, double seconds) { return bytes / 1e6 / seconds; }

int Compare(const fs::path& path) {
  std::error_code error;
  const uintmax_t size = fs::file_size(path, error);
  if (error) {
    std::cerr << path << ": " << error.message() << "\n";
    return 2;
  }
  ReadThrough(path);
  const Timing own = BestOf([&] { return OwnDigest(path); });
  if (!own.digest) {
    std::cerr << "FileFingerprint failed on " << path << "\n";
    return 2;
  }
  const Timing system = BestOf([&] { return Sha1sumDigest(path); });
  if (!system.digest) {
    std::cerr << "sha1sum could not be run on " << path << "\n";
    return 2;
  }
  const double ownRate = MegabytesPerSecond(size, own.bestSeconds);
  const double systemRate = MegabytesPerSecond(size, system.bestSeconds);
  std::printf("file            %s (%ju bytes)\n", path.c_str(), size);
  std::printf("compression     %s\n", veritor::sha1_paths::ShaNiSupported() ? "SHA-NI" : "portable");
  std::printf("FileFingerprint %8.1f MB/s  %s\n", ownRate, own.digest->c_str());
  std::printf("sha1sum         %8.1f MB/s  %s\n", systemRate, system.digest->c_str());
  std::printf("ratio           %8.2f (FileFingerprint / sha1sum, best of %d)\n",
              ownRate / systemRate, kTimedRuns);
  if (*own.digest != *system.digest) {
    std::fprintf(stderr, "digests differ\n");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::cerr << "usage: " << argv[0] << " [file]\n";
    return 2;
  }
  if (argc == 2) return Compare(argv[1]);
  TemporaryFile file;
  if (!WritePseudoRandomFile(file.path(), kGeneratedSize)) {
    std::cerr << "cannot write " << file.path() << "\n";
    return 2;
  }
  return Compare(file.path());
}
