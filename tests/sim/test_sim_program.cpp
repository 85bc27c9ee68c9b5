#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>

#include <gtest/gtest.h>

#include "serial/packet.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace veritor {
namespace {

std::string Answer(int fd, size_t count) {
  std::string got;
  pollfd watch{fd, POLLIN, 0};
  char byte;
  while (got.size() < count && poll(&watch, 1, 10000) == 1 && read(fd, &byte, 1) == 1) got += byte;
  return got;
}

TEST(VeritorSimProgram, ServesItsPtyThroughTheLinkAndRemovesTheLinkOnSigterm) {
  test::TempDir dir;
  const std::string link = dir.file("com1");
  test::SimulatorProcess simulator({"--link", link});
  ASSERT_FALSE(simulator.path().empty());
  const int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios raw{};
  tcgetattr(fd, &raw);
  cfmakeraw(&raw);
  tcsetattr(fd, TCSANOW, &raw);

  const std::string request = "\x05" + BuildPacket("v");
  ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  const std::string reply = BuildPacket("00/00/00/VERITOR-SIM/2.24/SN 000001");
  EXPECT_EQ(Answer(fd, 2 + reply.size()), "\x06\x06" + reply);
  close(fd);

  EXPECT_EQ(simulator.Stop(), 0);
  struct stat info {};
  EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link outlived the program";
}

TEST(VeritorSimProgram, RefusesABadCommandLineWithUsage) {
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"--bogus"}, {"--fault", "enq-maybe:1"}, {"--seed"}, {"--report-lines", "many"}}) {
    std::vector<std::string> argv{test::BinaryPath("veritor-sim")};
    argv.insert(argv.end(), options.begin(), options.end());
    const test::ProcessResult result = test::RunProgram(argv);
    EXPECT_EQ(result.exit_status, 64) << options[0];
    EXPECT_NE(result.err.find("usage: veritor-sim"), std::string::npos) << result.err;
  }
}

}  // namespace
}  // namespace veritor
