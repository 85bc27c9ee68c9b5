#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace veritor::test {

// Where the built programs are (set by the test registration).
inline std::string BinaryPath(const std::string& name) {
  const char* dir = std::getenv("VERITOR_BIN");
  return std::string(dir ? dir : "build/bin") + "/" + name;
}

// A program run by hand (a benchmark, the soak) finds the others beside
// itself unless VERITOR_BIN says where they are.
inline void FindProgramsBeside(const char* argv0) {
  if (std::getenv("VERITOR_BIN") != nullptr) return;
  const std::string self(argv0);
  const size_t slash = self.rfind('/');
  setenv("VERITOR_BIN", slash == std::string::npos ? "." : self.substr(0, slash).c_str(), 1);
}

// All that a file holds; for a pipe, all that comes until it closes.
inline std::string ReadAll(int fd) {
  lseek(fd, 0, SEEK_SET);
  std::string text;
  char chunk[4096];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
  return text;
}

inline int WaitForExit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Starts argv with stdin from `in_fd` (/dev/null when -1), stdout into
// `out_fd` and stderr into `err_fd`, the environment plus `env` ("NAME=value"
// entries).
inline pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int out_fd, int err_fd,
                   int in_fd = -1) {
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  args.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in_fd < 0) posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  else posix_spawn_file_actions_adddup2(&actions, in_fd, 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

struct ProcessResult {
  int exit_status = -1;
  std::string out;
  std::string err;
};

// Runs a program to its end; its output goes to files, so that no pipe can fill up and stall it.
inline ProcessResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
  ProcessResult result;
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  if (out == nullptr || err == nullptr) return result;
  const pid_t pid = Spawn(argv, env, fileno(out), fileno(err));
  if (pid > 0) result.exit_status = WaitForExit(pid);
  result.out = ReadAll(fileno(out));
  result.err = ReadAll(fileno(err));
  std::fclose(out);
  std::fclose(err);
  return result;
}

// veritor-sim in the background until Stop() or the end of the object, its stderr into `err_fd`. It prints a line
// for the pty ("veritor-sim: serving /dev/pts/N") and one for each network service once it stands; `lines` are awaited.
class SimulatorProcess {
 public:
  explicit SimulatorProcess(std::vector<std::string> options = {}, int lines = 1, int err_fd = 2) {
    int out[2];
    if (pipe(out) != 0) return;
    options.insert(options.begin(), BinaryPath("veritor-sim"));
    pid_ = Spawn(options, {}, out[1], err_fd);
    close(out[1]);
    out_ = out[0];
    for (int i = 0; i < lines; ++i) {
      std::string line;
      char c;
      while (read(out_, &c, 1) == 1 && c != '\n') line += c;
      if (line.empty()) return;
      const size_t slash = line.find('/');
      if (i == 0 && slash != std::string::npos) path_ = line.substr(slash);
      ++ready_lines_;
    }
  }
  ~SimulatorProcess() {
    Stop();
    if (out_ >= 0) close(out_);
  }
  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;

  // The pty's path, empty when the simulator did not start.
  const std::string& path() const { return path_; }
  bool ready(int lines) const { return ready_lines_ == lines; }
  pid_t pid() const { return pid_; }

  // SIGTERM; the exit status.
  int Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    const int status = WaitForExit(pid_);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string path_;
  int ready_lines_ = 0;
};

}  // namespace veritor::test
