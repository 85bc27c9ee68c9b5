#include "platform/posix_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/serial_speed.h"

namespace veritor {
namespace {

constexpr auto kWriteRoomWait = std::chrono::milliseconds(100);

struct StandardSpeed {
  unsigned long baud;
  speed_t code;
};

constexpr StandardSpeed kStandardSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},
    {150, B150},       {200, B200},       {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> StandardSpeedCode(unsigned long baud) {
  for (const auto& speed : kStandardSpeeds) {
    if (speed.baud == baud) return speed.code;
  }
  return std::nullopt;
}

// Empty when the settings are usable, else what is wrong with them.
std::string CheckLineSettings(const LineSettings& s) {
  if (s.baud == 0 || s.baud > UINT32_MAX) {
    return "baud rate " + std::to_string(s.baud) + " is not valid";
  }
  switch (s.parity) {
    case 'N': case 'E': case 'O': case 'M': case 'S': break;
    default: return "parity must be N, E, O, M or S";
  }
  if (s.data_bits < 5 || s.data_bits > 8) return "data bits must be 5 to 8";
  if (s.stop_bits != 1 && s.stop_bits != 2) return "stop bits must be 1 or 2";
  return {};
}

tcflag_t CharacterSize(unsigned long data_bits) {
  switch (data_bits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

tcflag_t ParityFlags(char parity) {
  switch (parity) {
    case 'E': return PARENB;
    case 'O': return PARENB | PARODD;
    case 'M': return PARENB | PARODD | CMSPAR;
    case 'S': return PARENB | CMSPAR;
    default: return 0;
  }
}

// 0 or the errno of the failing call.
int ApplyLineFormat(int fd, const LineSettings& s) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return errno;
  cfmakeraw(&tio);
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_cflag |= CLOCAL | CREAD | CharacterSize(s.data_bits) | ParityFlags(s.parity);
  if (s.stop_bits == 2) tio.c_cflag |= CSTOPB;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  const auto code = StandardSpeedCode(s.baud);
  if (code && cfsetspeed(&tio, *code) != 0) return errno;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return errno;
  return code ? 0 : SetLineSpeed(fd, s.baud);
}

std::string FormatName(unsigned long data_bits, char parity, unsigned long stop_bits) {
  return std::to_string(data_bits) + parity + std::to_string(stop_bits);
}

// Drivers drop character formats they cannot do (a pty keeps only 8N1 and
// 8N2, some USB adapters lack 5 and 6 bits or mark and space parity), so
// the format is read back rather than trusted.
std::string HeldFormatName(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return "nothing readable";
  const tcflag_t size = tio.c_cflag & CSIZE;
  const unsigned long data_bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
  char parity = 'N';
  if ((tio.c_cflag & PARENB) != 0) {
    const bool odd = (tio.c_cflag & PARODD) != 0;
    parity = (tio.c_cflag & CMSPAR) != 0 ? (odd ? 'M' : 'S') : (odd ? 'O' : 'E');
  }
  return FormatName(data_bits, parity, (tio.c_cflag & CSTOPB) != 0 ? 2 : 1);
}

// A pty has no modem lines; that is the only failure let pass.
int RaiseDtrAndRts(int fd) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (ioctl(fd, TIOCMBIS, &lines) == 0 || errno == ENOTTY || errno == EINVAL) return 0;
  return errno;
}

std::string ErrnoText(int err) { return std::generic_category().message(err); }

// The descriptor while Open sets it up: closed again unless handed over.
class PendingLine {
 public:
  explicit PendingLine(int fd) : fd_(fd) {}
  ~PendingLine() {
    if (fd_ < 0) return;
    if (exclusive_) ioctl(fd_, TIOCNXCL);
    close(fd_);
  }
  PendingLine(const PendingLine&) = delete;
  PendingLine& operator=(const PendingLine&) = delete;

  int fd() const { return fd_; }
  void MarkExclusive() { exclusive_ = true; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
  bool exclusive_ = false;
};

std::string CannotConfigure(const std::string& path, int err) {
  return "cannot configure " + path + ": " + DescribeOpenFailure(err);
}

// Character format and speed as asked, or why not; empty on success.
std::string ConfigureLine(int fd, const std::string& path, const LineSettings& s) {
  // glibc reports some formats a driver dropped as EINVAL, others not at all.
  const int err = ApplyLineFormat(fd, s);
  if (err != 0 && err != EINVAL) return CannotConfigure(path, err);
  const std::string asked = FormatName(s.data_bits, s.parity, s.stop_bits);
  if (const std::string held = HeldFormatName(fd); held != asked) {
    return path + " cannot use " + asked + " (the driver set " + held + ")";
  }
  if (err != 0) return CannotConfigure(path, err);
  if (const unsigned long actual = ReadLineSpeed(fd); actual != s.baud) {
    return path + " cannot run at " + std::to_string(s.baud) + " baud (the driver set " +
           std::to_string(actual) + ")";
  }
  return {};
}

// Every step of taking and configuring the line; empty reason on success.
std::string SetUpLine(PendingLine& line, const std::string& path, const LineSettings& s) {
  const int fd = line.fd();
  if (!isatty(fd)) return path + " is not a serial port";
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return "cannot open " + path + ": " + DescribeOpenFailure(errno);
  if (ioctl(fd, TIOCEXCL) != 0) return "cannot open " + path + ": " + DescribeOpenFailure(errno);
  line.MarkExclusive();
  if (std::string problem = ConfigureLine(fd, path, s); !problem.empty()) return problem;
  if (const int err = RaiseDtrAndRts(fd)) return CannotConfigure(path, err);
  if (tcflush(fd, TCIOFLUSH) != 0) return CannotConfigure(path, errno);
  return {};
}

// Waits until the line takes output or the deadline passes; false on the latter.
bool WaitForRoom(int fd, std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd p{fd, POLLOUT, 0};
  return poll(&p, 1, static_cast<int>(left.count())) >= 0 || errno == EINTR;
}

}  // namespace

std::string SerialDevicePath(unsigned port_number) {
  if (port_number == 0) return {};
  const std::string variable = "VERITOR_COM" + std::to_string(port_number);
  const char* configured = std::getenv(variable.c_str());
  if (configured != nullptr && *configured != '\0') return configured;
  return "/dev/ttyS" + std::to_string(port_number - 1);
}

std::string DescribeOpenFailure(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
      return ErrnoText(err) +
             "; add the user to the dialout group (usermod -aG dialout $USER) and log in again";
    case EWOULDBLOCK:
    case EBUSY:
      return "the port is in use by another program";
    default:
      return ErrnoText(err);
  }
}

PosixSerialPort::PosixSerialPort(int fd) : fd_(fd) {}

PosixSerialPort::~PosixSerialPort() {
  ioctl(fd_, TIOCNXCL);
  flock(fd_, LOCK_UN);
  close(fd_);
}

size_t PosixSerialPort::InputCount() {
  int waiting = 0;
  if (ioctl(fd_, FIONREAD, &waiting) != 0) {
    if (errno == EIO) hung_up_ = true;
    return 0;
  }
  if (waiting < 0) return 0;
  return static_cast<size_t>(waiting);
}

bool PosixSerialPort::ReadByte(uint8_t& byte) {
  uint8_t received = 0;
  ssize_t n;
  do {
    n = read(fd_, &received, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1) return false;
  byte = received;
  return true;
}

bool PosixSerialPort::WriteByte(uint8_t byte) {
  const auto deadline = std::chrono::steady_clock::now() + kWriteRoomWait;
  for (;;) {
    const ssize_t n = write(fd_, &byte, 1);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EIO) hung_up_ = true;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (!WaitForRoom(fd_, deadline)) return false;
  }
}

// TCOFLUSH would drop written bytes the device has not taken yet (on a pty,
// even bytes that have left this side).
void PosixSerialPort::Purge() { tcflush(fd_, TCIFLUSH); }

// Without flow control a line sends its queue at its speed, so this ends.
void PosixSerialPort::Drain() {
  while (tcdrain(fd_) != 0 && errno == EINTR) {
  }
}

PortOpenResult PosixPortOpener::Open(unsigned port_number, const LineSettings& settings) {
  if (port_number == 0) return {nullptr, {}, "there is no serial port 0; ports are numbered from 1"};
  return OpenPath(SerialDevicePath(port_number), settings);
}

PortOpenResult PosixPortOpener::OpenPath(const std::string& path, const LineSettings& settings) {
  PortOpenResult result;
  result.path = path;
  if (const std::string problem = CheckLineSettings(settings); !problem.empty()) {
    result.reason = "cannot open " + result.path + ": " + problem;
    return result;
  }
  PendingLine line(open(result.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (line.fd() < 0) {
    result.reason = "cannot open " + result.path + ": " + DescribeOpenFailure(errno);
    return result;
  }
  result.reason = SetUpLine(line, result.path, settings);
  if (result.reason.empty()) result.port = std::make_unique<PosixSerialPort>(line.Release());
  return result;
}

}  // namespace veritor
