#include "platform/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace veritor {

namespace {

constexpr int kTemporaryNameAttempts = 100;

std::string ErrnoText(int error) { return std::strerror(error); }

}  // namespace

std::string OutputPathProblem(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return {};
  if (S_ISREG(info.st_mode)) return {};
  if (S_ISDIR(info.st_mode)) return ErrnoText(EISDIR);
  if (S_ISLNK(info.st_mode)) return "not a regular file but a symbolic link";
  if (S_ISFIFO(info.st_mode)) return "not a regular file but a FIFO";
  if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) return "not a regular file but a device";
  return "not a regular file";
}

bool OutputFile::Create(const std::string& final_path, std::string& error) {
  Discard();
  if (error = OutputPathProblem(final_path); !error.empty()) return false;
  // A name left by a run that ended without finishing its file is passed
  // over, never opened: O_EXCL with O_NOFOLLOW makes a new file or fails.
  for (int n = 0; n < kTemporaryNameAttempts; ++n) {
    const std::string candidate = final_path + "." + std::to_string(getpid()) + "-" + std::to_string(n) + ".part";
    fd_ = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      final_path_ = final_path;
      temporary_path_ = candidate;
      return true;
    }
    if (errno != EEXIST) {
      error = ErrnoText(errno);
      return false;
    }
  }
  error = ErrnoText(EEXIST);
  return false;
}

bool OutputFile::Write(std::string_view bytes, std::string& error) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd_, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = ErrnoText(written < 0 ? errno : ENOSPC);
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

bool OutputFile::Commit(std::string& error) {
  bool done = fsync(fd_) == 0;
  if (!done) error = ErrnoText(errno);
  if (close(fd_) != 0 && done) {
    error = ErrnoText(errno);
    done = false;
  }
  fd_ = -1;
  // The checks of Create again: the name may have changed hands since.
  if (done && !(error = OutputPathProblem(final_path_)).empty()) done = false;
  if (done && std::rename(temporary_path_.c_str(), final_path_.c_str()) != 0) {
    error = ErrnoText(errno);
    done = false;
  }
  if (!done) unlink(temporary_path_.c_str());
  temporary_path_.clear();
  return done;
}

void OutputFile::Discard() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  unlink(temporary_path_.c_str());
  temporary_path_.clear();
}

bool WriteWholeFile(const std::string& path, std::string_view content, std::string& error) {
  OutputFile file;
  return file.Create(path, error) && file.Write(content, error) && file.Commit(error);
}

}  // namespace veritor
