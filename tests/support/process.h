#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace veritor::test {

// Where the built programs are (set by the test registration).
inline std::string BinaryPath(const std::string& name) {
  const char* dir = std::getenv("VERITOR_BIN");
  return std::string(dir ? dir : "build/bin") + "/" + name;
}

struct ProcessResult {
  int exit_status = -1;
  std::string out;
  std::string err;
};

inline std::string ReadAll(int fd) {
  std::string text;
  char chunk[4096];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
  return text;
}

// Runs a program to its end with stdin from /dev/null; stderr goes to a file
// so that neither pipe can fill up and stall it.
inline ProcessResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
  ProcessResult result;
  int out[2];
  if (pipe(out) != 0) return result;
  char err_path[] = "/tmp/veritor-stderr-XXXXXX";
  const int err_fd = mkstemp(err_path);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out[1], 1);
    dup2(err_fd, 2);
    close(out[0]);
    for (const std::string& assignment : env) putenv(const_cast<char*>(assignment.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  result.out = ReadAll(out[0]);
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  lseek(err_fd, 0, SEEK_SET);
  result.err = ReadAll(err_fd);
  close(err_fd);
  unlink(err_path);
  return result;
}

// veritor-sim serving a pty in the background for the life of the object.
class SimulatorProcess {
 public:
  explicit SimulatorProcess(std::vector<std::string> options = {}) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      std::vector<std::string> argv{BinaryPath("veritor-sim")};
      argv.insert(argv.end(), options.begin(), options.end());
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    // The first line names the pty: "veritor-sim: serving /dev/pts/N".
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    out_ = out[0];
    const size_t slash = line.find('/');
    if (slash != std::string::npos) path_ = line.substr(slash);
  }
  ~SimulatorProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;

  // The pty's path, empty when the simulator did not start.
  const std::string& path() const { return path_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string path_;
};

}  // namespace veritor::test
