#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Generous: only a broken program ever waits this long.
constexpr int kPatienceMs = 10000;

std::string SimPath() {
  const char* bin = std::getenv("VERITOR_BIN");
  return std::string(bin ? bin : "bin") + "/veritor-sim";
}

struct Child {
  pid_t pid = -1;
  int output = -1;  // stdout and stderr
};

Child Start(std::vector<std::string> args) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
  args.insert(args.begin(), SimPath());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  Child child{-1, pipe_ends[0]};
  if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_ends[1]);
  return child;
}

// Reads until `count` bytes came, a line ended (count 0), or time ran out.
std::string ReadFrom(int fd, size_t count) {
  std::string text;
  while (count == 0 ? text.find('\n') == std::string::npos : text.size() < count) {
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, kPatienceMs) <= 0) break;
    char buffer[256];
    const size_t want = count == 0 ? 1 : std::min(sizeof buffer, count - text.size());
    const ssize_t got = read(fd, buffer, want);
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  return text;
}

int ExitStatus(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int OpenRaw(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  termios settings{};
  if (fd >= 0 && tcgetattr(fd, &settings) == 0) {
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
  }
  return fd;
}

void Send(int fd, const std::string& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

TEST(VeritorSimProgram, ServesTheDeviceOnItsPtyAndLeavesCleanlyOnSigterm) {
  const std::string link = testing::TempDir() + "veritor-sim-test-link";
  Child sim = Start({"--link", link, "--fault", "enq-nak:1"});
  ASSERT_GT(sim.pid, 0);
  const std::string first_line = ReadFrom(sim.output, 0);
  ASSERT_EQ(first_line.rfind("veritor-sim: serving /dev/pts/", 0), 0u) << first_line;
  const std::string served = first_line.substr(21, first_line.size() - 22);
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(served, target);

  const std::string reply = "\x02" "00/00/00/VERITOR-SIM/2.24/SN 000001/35\x03";
  for (int open_count = 0; open_count < 2; ++open_count) {  // a reopen finds the line alive
    const int port = OpenRaw(link);
    ASSERT_GE(port, 0);
    Send(port, "\x18\x18\x18\x05");
    // The planned fault refuses the very first enquiry only.
    EXPECT_EQ(ReadFrom(port, 1), open_count == 0 ? "\x15" : "\x06");
    if (open_count == 0) {
      Send(port, "\x18\x18\x18\x05");
      EXPECT_EQ(ReadFrom(port, 1), "\x06");
    }
    Send(port, "\x02v/65\x03");
    EXPECT_EQ(ReadFrom(port, 1 + reply.size()), "\x06" + reply);
    Send(port, "\x06");
    close(port);
  }

  kill(sim.pid, SIGTERM);
  EXPECT_EQ(ExitStatus(sim.pid), 0);
  struct stat info {};
  EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link outlived the program";
  close(sim.output);
}

TEST(VeritorSimProgram, RefusesABadCommandLineWithUsage) {
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"}, {"--fault", "enq-maybe:1"}, {"--seed"}, {"--report-lines", "many"}};
  for (const auto& args : bad) {
    Child sim = Start(args);
    ASSERT_GT(sim.pid, 0);
    const std::string errors = ReadFrom(sim.output, 0) + ReadFrom(sim.output, 0);
    EXPECT_EQ(ExitStatus(sim.pid), 64) << args[0];
    EXPECT_NE(errors.find("usage: veritor-sim"), std::string::npos) << errors;
    close(sim.output);
  }
}

}  // namespace
