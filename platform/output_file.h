#pragma once

#include <string>
#include <string_view>

namespace veritor {

// Why `path` cannot be written as an output file: it names a folder ("Is a
// directory"), a symbolic link, a FIFO, a device or a socket. Empty when it
// names a regular file or nothing at all.
std::string OutputPathProblem(const std::string& path);

// A file of the output folder written whole or not at all: it is written
// under a temporary name beside its own ("NAME.N.part", which no report
// file ever ends in) and takes its name only once complete, so that a file
// of that name stays as it was until then. Every write goes straight to the
// file, with no buffer in between: what was written survives the program.
// Never follows a symbolic link, never waits on a FIFO or a device.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() { Discard(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file for `final_path`; false with `error` saying why.
  bool Create(const std::string& final_path, std::string& error);
  // All the bytes, or false with `error` saying why.
  bool Write(std::string_view bytes, std::string& error);
  // Syncs and closes the file and gives it its name (replacing a regular
  // file of that name); false with `error` saying why, the temporary file
  // then removed.
  bool Commit(std::string& error);
  // Closes and removes the temporary file, if one is open.
  void Discard();

  bool IsOpen() const { return fd_ >= 0; }
  const std::string& TemporaryPath() const { return temporary_path_; }

 private:
  int fd_ = -1;
  std::string final_path_;
  std::string temporary_path_;
};

// Writes `content` as the whole of the file at `path`, through an
// OutputFile; false with `error` saying why.
bool WriteWholeFile(const std::string& path, std::string_view content, std::string& error);

}  // namespace veritor
