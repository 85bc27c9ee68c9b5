#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/net_constants.h"
#include "net/sdnp_frame.h"
#include "sim/in_process_net.h"
#include "sim/sdnp_device.h"
#include "sim/sim_options.h"
#include "sim/tcp_device.h"
#include "sim/udp_device.h"
#include "tests/support/process.h"

namespace veritor::sim {
namespace {

constexpr Ipv4Address kConsole = 0x7F000001;
constexpr uint16_t kConsolePort = 50000;
constexpr Ipv4Address kDevice = 0x7F000002;
constexpr Ipv4Address kOtherDevice = 0x7F000003;

const std::string kInfoReply = "00/00/00/VERITOR-SIM/2.24/SN 000001";
const std::string kInfoPacket = "\x02" + kInfoReply + "/35\x03";

// "2D 7A ..." as bytes.
std::string Hex(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 3) {
    bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

std::string ConsoleFrame(uint8_t opcode, uint16_t fsn, const std::string& payload = "") {
  return BuildSdnpFrame(kSdnpConsoleId, fsn, opcode, payload);
}

// Steps a datagram device 1 ms at a time and names what it sent: each
// datagram as a token made by `name`, with "+ms" when it left after the
// origin and "@foreign" when from another address. A run goes on where
// `text` (what an earlier run named) left off.
template <typename Device>
struct DatagramBench {
  DeviceModel model;
  Device device{model, kDevice};
  uint32_t now = 0xFFFFFF00u;  // the clock wraps during the tests
  uint32_t origin = 0;

  std::vector<OutgoingDatagram> Send(const std::string& bytes, uint32_t wait_ms = 0) {
    device.OnDatagram(kConsole, kConsolePort, bytes, now);
    now += wait_ms;
    std::vector<OutgoingDatagram> out;
    device.TakeDue(now, out);
    return out;
  }

  template <typename Name>
  std::string Run(const std::string& bytes, uint32_t ms, Name name, std::string text = "") {
    device.OnDatagram(kConsole, kConsolePort, bytes, now);
    for (uint32_t step = 0; step <= ms; ++step, ++now) {
      std::vector<OutgoingDatagram> out;
      device.TakeDue(now, out);
      for (const OutgoingDatagram& datagram : out) {
        EXPECT_EQ(datagram.to, kConsole);
        EXPECT_EQ(datagram.to_port, kConsolePort);
        text += (text.empty() ? "" : " ") + name(datagram.bytes);
        if (now != origin) text += "+" + std::to_string(now - origin);
        if (datagram.from != kDevice) text += "@foreign";
      }
    }
    return text;
  }
};

std::vector<std::string> BytesOf(const std::vector<OutgoingDatagram>& datagrams) {
  std::vector<std::string> bytes;
  for (const OutgoingDatagram& datagram : datagrams) bytes.push_back(datagram.bytes);
  return bytes;
}

TEST(SdnpDevice, AnswersQuerySyncAndRequestByteForByte) {
  const std::string req_v = Hex("8F E1 2A 00 21 00 01 00 CB AA 86 AD 76");
  const std::string rep_v = Hex("2D 7A 2A 00 22 00 23 00 49 B2 66 AC") + kInfoReply;
  const std::string nak_2a = Hex("2D 7A 2A 00 13 00 00 00 55 AA 38 AC");
  std::string long_length = ConsoleFrame(kSdnpReq, 0x2B, "?");
  long_length += 'x';
  struct Step {
    const char* what;
    std::string console;
    std::vector<std::string> device;
  };
  const Step steps[] = {
      {"query", Hex("8F E1 34 12 00 00 00 00 55 AA 0A AD"), {Hex("2D 7A 34 12 01 00 00 00 55 AA 42 AC")}},
      {"request before a sync", req_v, {Hex("2D 7A 2A 00 10 00 00 00 55 AA 35 AC")}},
      {"sync", Hex("8F E1 29 00 11 00 00 00 55 AA FE AC"), {Hex("2D 7A 29 00 12 00 00 00 55 AA 36 AC")}},
      {"request", req_v, {rep_v}},
      {"the same request again", req_v, {rep_v}},
      {"the console's NAK after a REP", ConsoleFrame(kSdnpNak, 0x2A), {}},
      {"bad data checksum", WithBadDataChecksum(req_v), {nak_2a}},
      {"a device's frame", BuildSdnpFrame(kSdnpDeviceId, 0x2B, kSdnpReq, "?"), {}},
      {"bad header checksum", req_v.substr(0, 11) + "\x77" + req_v.substr(12), {}},
      {"size not 12 + length", long_length, {}},
      {"11 bytes", req_v.substr(0, 11), {}},
      {"513 bytes", ConsoleFrame(kSdnpReq, 0x2B, std::string(501, '?')), {}},
      {"unknown opcode", ConsoleFrame(0x55, 0x2B), {}},
      {"next request", ConsoleFrame(kSdnpReq, 0x2B, "?"), {BuildSdnpFrame(kSdnpDeviceId, 0x2B, kSdnpRep, "00/00/00")}},
  };
  DatagramBench<SdnpDevice> bench;
  for (const Step& step : steps) EXPECT_EQ(BytesOf(bench.Send(step.console)), step.device) << step.what;
  EXPECT_EQ(bench.model.RequestLog(), (std::vector<std::string>{"v", "?"}));

  bench.model.ForceReply(std::string(600, 'r'));
  const auto cut = bench.Send(ConsoleFrame(kSdnpReq, 0x2C, "v"));
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0].bytes.size(), kSdnpMaxFrame) << "a reply longer than 500 bytes is cut to 500";
}

TEST(UdpDevice, AnswersEnquiryAndRequestPacketsByteForByte) {
  struct Step {
    std::string console;
    std::vector<std::string> device;
  };
  const Step steps[] = {
      {"\x05", {"\x06"}},
      {"\x02v/65\x03", {"\x06", kInfoPacket}},
      {"\x16", {kInfoPacket}},  // NAK brings the reply again
      {"\x06", {}},
      {"\x16", {}},  // nothing to resend after the ACK
      {"\x02v/64\x03", {"\x16"}},
      {"", {}},
      {"v/65", {}},
      {"\x07", {}},
      {"\x02?/10\x03", {"\x06", "\x02" "00/00/00/73\x03"}},
  };
  DatagramBench<UdpDevice> bench;
  for (size_t i = 0; i < std::size(steps); ++i) {
    EXPECT_EQ(BytesOf(bench.Send(steps[i].console)), steps[i].device) << "step " << i;
  }
  bench.device.ack_before_reply = false;
  EXPECT_EQ(BytesOf(bench.Send("\x02v/65\x03")), std::vector<std::string>{kInfoPacket});
}

// Feeds the TCP device and names what it did, one token an output: data as
// its text, CLOSE, RESET, with "+ms" when it came later than the request.
std::string TcpRun(TcpDevice& device, const std::string& bytes, uint32_t& now, uint32_t ms = 2000) {
  const uint32_t start = now;
  device.OnBytes(bytes, now);
  std::string text;
  for (uint32_t step = 0; step <= ms; ++step, ++now) {
    std::vector<StreamOutput> out;
    device.TakeDue(now, out);
    for (const StreamOutput& output : out) {
      if (!text.empty()) text += " ";
      if (output.kind == StreamOutput::Kind::kData) text += output.bytes;
      if (output.kind == StreamOutput::Kind::kClose) text += "CLOSE";
      if (output.kind == StreamOutput::Kind::kReset) text += "RESET";
      if (now != start) text += "+" + std::to_string(now - start);
    }
  }
  return text;
}

TEST(TcpDevice, AnswersEachLineWithTheBareReplyText) {
  struct Step {
    std::string console;
    std::string device;
  };
  const Step steps[] = {
      {"v\r\n", kInfoReply},
      {"v\r", ""},
      {"\n", kInfoReply},
      {"?\r\nv\r\n", "00/00/00 " + kInfoReply},
      {"v\n\r", ""},  // LF alone ends nothing; the CR waits for its LF
      {"\n", "06/00/00"},
      {std::string(TcpDevice::kMaxRequestLine + 1, 'v') + "\r\n", ""},
      {"v\r\n", kInfoReply},
  };
  DeviceModel model;
  TcpDevice device(model);
  uint32_t now = 0xFFFFFF00u;
  for (size_t i = 0; i < std::size(steps); ++i) EXPECT_EQ(TcpRun(device, steps[i].console, now, 0), steps[i].device) << i;
}

struct NetBench {
  VirtualTickClock clock;
  InProcessNetwork net{clock};

  std::unique_ptr<DatagramSocket> OpenDatagram() {
    std::unique_ptr<DatagramSocket> socket;
    EXPECT_EQ(net.network().OpenDatagramSocket(socket), 0);
    EXPECT_EQ(socket->Bind(kAnyAddress, 0), 0);
    return socket;
  }

  struct Taken {
    Ipv4Address sender;
    std::string bytes;
  };
  std::vector<Taken> TakeAll(DatagramSocket& socket) {
    std::vector<Taken> all;
    bool pending = false;
    size_t size = 0;
    while (socket.NextDatagram(pending, size) == 0 && pending) {
      std::string bytes(size, '\0');
      size_t length = 0;
      Ipv4Address sender = 0;
      EXPECT_EQ(socket.ReceiveFrom(bytes.data(), bytes.size(), length, sender), 0);
      all.push_back({sender, bytes});
    }
    return all;
  }
};

TEST(InProcessNetwork, BroadcastQueryReachesEveryDeviceAndEachAnswersFromItsOwnAddress) {
  NetBench bench;
  bench.net.AddSdnpDevice(kDevice);
  bench.net.AddSdnpDevice(kOtherDevice);
  bench.net.AddUdpDevice(0x7F000004);  // hears port 9101 only
  auto socket = bench.OpenDatagram();
  const std::string query = ConsoleFrame(kSdnpQry, 7);
  size_t sent = 0;
  EXPECT_EQ(socket->SendTo(kBroadcastAddress, kSdnpPort, query.data(), query.size(), sent), 10013);
  ASSERT_EQ(socket->EnableBroadcast(), 0);
  ASSERT_EQ(socket->SendTo(kBroadcastAddress, kSdnpPort, query.data(), query.size(), sent), 0);
  bench.net.pump().PumpOneMessage();
  const std::string act = BuildSdnpFrame(kSdnpDeviceId, 7, kSdnpAct, "");
  const auto answers = bench.TakeAll(*socket);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0].sender, kDevice);
  EXPECT_EQ(answers[1].sender, kOtherDevice);
  EXPECT_EQ(answers[0].bytes, act);
  EXPECT_EQ(answers[1].bytes, act);

  socket->SendTo(kOtherDevice, kSdnpPort, query.data(), query.size(), sent);
  socket->SendTo(0x7F000009, kSdnpPort, query.data(), query.size(), sent);
  bench.net.pump().PumpOneMessage();
  const auto unicast = bench.TakeAll(*socket);
  ASSERT_EQ(unicast.size(), 1u);
  EXPECT_EQ(unicast[0].sender, kOtherDevice);

  const auto& wire = bench.net.Wire();
  ASSERT_EQ(wire.size(), 6u);
  EXPECT_TRUE(wire[0].from_console);
  EXPECT_EQ(wire[0].from, kConsole);
  EXPECT_EQ(wire[0].to, kBroadcastAddress);
  EXPECT_EQ(wire[0].bytes, query);
  EXPECT_EQ(wire[1].from, kDevice);
  EXPECT_EQ(wire[1].from_port, kSdnpPort);
  EXPECT_EQ(wire[1].to_port, wire[0].from_port);
}

TEST(InProcessNetwork, InjectedDatagramsOfAnySizeReachTheConsoleWhole) {
  NetBench bench;
  auto socket = bench.OpenDatagram();
  const std::string foreign_act = BuildSdnpFrame(kSdnpDeviceId, 7, kSdnpAct, "");
  EXPECT_TRUE(bench.net.InjectDatagram(0x0A000001, 24222, ""));
  EXPECT_TRUE(bench.net.InjectDatagram(0x0A000001, 24222, std::string(kMaxDatagram, 'x')));
  EXPECT_TRUE(bench.net.InjectDatagram(0x7F000063, 24222, foreign_act));
  EXPECT_FALSE(bench.net.InjectDatagram(0x0A000001, 24222, std::string(kMaxDatagram + 1, 'x')));

  bool pending = false;
  size_t size = 1;
  ASSERT_EQ(socket->NextDatagram(pending, size), 0);
  EXPECT_TRUE(pending) << "an empty datagram is pending with size 0";
  EXPECT_EQ(size, 0u);
  char small[16];
  size_t length = 0;
  Ipv4Address sender = 0;
  ASSERT_EQ(socket->ReceiveFrom(small, sizeof small, length, sender), 0);
  EXPECT_EQ(length, 0u);
  ASSERT_EQ(socket->ReceiveFrom(small, sizeof small, length, sender), 0);
  EXPECT_EQ(length, kMaxDatagram) << "the true size of a datagram cut to the buffer";
  EXPECT_EQ(sender, 0x0A000001u);
  const auto rest = bench.TakeAll(*socket);
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].bytes, foreign_act);
  EXPECT_EQ(socket->ReceiveFrom(small, sizeof small, length, sender), 10035);
}

TEST(InProcessNetwork, StreamsConnectToTcpDevicesOneConsoleAtATime) {
  NetBench bench;
  TcpDevice& device = bench.net.AddTcpDevice(kDevice);
  EXPECT_EQ(&device.model(), &bench.net.ModelAt(kDevice));
  const auto open = [&](Ipv4Address address) {
    std::unique_ptr<StreamSocket> socket;
    bench.net.network().OpenStreamSocket(socket);
    EXPECT_EQ(socket->StartConnect(address, kTcpPort), 0);
    bench.net.pump().PumpOneMessage();
    return socket;
  };
  const auto settled = [](StreamSocket& socket) {
    bool connected = false;
    const int error = socket.CheckConnected(connected);
    return connected ? 1 : error;
  };
  const auto read = [](StreamSocket& socket, int& error) {
    char buffer[256];
    size_t length = 0;
    error = socket.Receive(buffer, sizeof buffer, length);
    return std::string(buffer, length);
  };
  EXPECT_EQ(settled(*open(kOtherDevice)), 10061);
  auto nowhere = open(0x0A000001);
  EXPECT_EQ(settled(*nowhere), 0) << "a connect beyond loopback stays pending";
  for (uint32_t i = 0; i < InProcessNetwork::kConnectTimeoutMs; ++i) bench.net.pump().PumpOneMessage();
  EXPECT_EQ(settled(*nowhere), 10060);

  auto first = open(kDevice);
  auto second = open(kDevice);
  ASSERT_EQ(settled(*first), 1);
  ASSERT_EQ(settled(*second), 1);
  size_t sent = 0;
  int error = 0;
  second->Send("?\r\n", 3, sent);
  first->Send("v\r\n", 3, sent);
  bench.net.pump().PumpOneMessage();
  EXPECT_EQ(read(*first, error), kInfoReply);
  EXPECT_EQ(read(*second, error), "");
  EXPECT_EQ(error, 10035) << "the second console waits its turn";
  first.reset();
  bench.net.pump().PumpOneMessage();
  EXPECT_EQ(read(*second, error), "00/00/00");

  device.faults = {{NetFault::kClose}};
  second->Send("v\r\n", 3, sent);
  bench.net.pump().PumpOneMessage();
  EXPECT_EQ(read(*second, error), kInfoReply.substr(0, kInfoReply.size() / 2));
  EXPECT_EQ(read(*second, error), "");
  EXPECT_EQ(error, 0) << "end of stream";
  EXPECT_EQ(second->Send("v\r\n", 3, sent), 0);
  EXPECT_EQ(second->Send("v\r\n", 3, sent), 10054);

  auto third = open(kDevice);
  device.faults = {{NetFault::kReset}};
  third->Send("v\r\n", 3, sent);
  bench.net.pump().PumpOneMessage();
  read(*third, error);
  EXPECT_EQ(error, 10054);
  EXPECT_EQ(bench.net.Wire().back().kind, WireRecord::Kind::kStreamReset);
}

TEST(SimOptions, NetworkAddressesAndFaultSpecsAreCheckedBeforeServing) {
  struct Row {
    std::vector<std::string> args;
    bool valid;
  };
  const Row rows[] = {
      {{"--no-serial", "--sdnp", "127.0.0.2", "--tcp", "127.0.0.2", "--udp", "127.0.0.2"}, true},
      {{"--sdnp", "127.1", "--fault", "sdnp-late:1500", "--fault", "udp-oversized"}, true},
      {{"--fault", "sdnp-nak-forever", "--fault", "tcp-close", "--fault", "random:0.1"}, true},
      {{"--sdnp", "198.51.100.10"}, false},
      {{"--tcp", "127.0.0.0"}, false},
      {{"--udp", "127.0.0.1"}, false},
      {{"--sdnp", "localhost"}, false},
      {{"--tcp", "127.0.0.2", "--tcp", "127.0.0.2"}, false},
      {{"--no-serial"}, false},
      {{"--no-serial", "--sdnp", "127.0.0.2", "--link", "/tmp/com1"}, false},
      {{"--fault", "sdnp-late"}, false},
      {{"--fault", "sdnp-nak-forever:2"}, false},
      {{"--fault", "udp-oversized:65508"}, false},
      {{"--fault", "tcp-split:x"}, false},
      {{"--fault", "udp-random:0"}, false},
      {{"--fault", "sdnp-bogus:1"}, false},
  };
  for (const Row& row : rows) {
    SimOptions options;
    EXPECT_EQ(!ParseSimOptions(row.args, options).has_value(), row.valid) << row.args[1];
  }
}

// A socket bound to 127.0.0.1 that sends one datagram and waits for one.
std::string LoopbackExchange(uint16_t port, const std::string& bytes, Ipv4Address to, Ipv4Address& sender) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{AF_INET, 0, {htonl(kConsole)}, {}};
  sockaddr_in device{AF_INET, htons(port), {htonl(to)}, {}};
  bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&device), sizeof device);
  pollfd watch{fd, POLLIN, 0};
  std::string answer(kMaxDatagram, '\0');
  sockaddr_in from{};
  socklen_t from_size = sizeof from;
  ssize_t n = -1;
  if (poll(&watch, 1, 10000) == 1) {
    n = recvfrom(fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_size);
  }
  close(fd);
  sender = ntohl(from.sin_addr.s_addr);
  return answer.substr(0, n < 0 ? 0 : static_cast<size_t>(n));
}

std::string TcpExchange(Ipv4Address to, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in device{AF_INET, htons(kTcpPort), {htonl(to)}, {}};
  std::string answer(256, '\0');
  ssize_t n = -1;
  pollfd watch{fd, POLLIN, 0};
  if (connect(fd, reinterpret_cast<sockaddr*>(&device), sizeof device) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0 && poll(&watch, 1, 10000) == 1) {
    n = recv(fd, answer.data(), answer.size(), 0);
  }
  close(fd);
  return answer.substr(0, n < 0 ? 0 : static_cast<size_t>(n));
}

TEST(VeritorSimNetwork, ServesSdnpTcpAndUdpFromItsOwnLoopbackAddress) {
  constexpr Ipv4Address kServed = 0x7F00004D;  // 127.0.0.77: clear of other tests
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = test::Spawn({test::BinaryPath("veritor-sim"), "--no-serial", "--sdnp", "127.0.0.77", "--tcp",
                                 "127.0.0.77", "--udp", "127.0.0.77"},
                                {}, out[1], 2);
  close(out[1]);
  ASSERT_GT(pid, 0);
  std::string lines;
  char c;
  while (std::count(lines.begin(), lines.end(), '\n') < 3 && read(out[0], &c, 1) == 1) lines += c;
  EXPECT_EQ(lines,
            "veritor-sim: sdnp on 127.0.0.77:24222\n"
            "veritor-sim: tcp on 127.0.0.77:24222\n"
            "veritor-sim: udp on 127.0.0.77:9101\n");

  Ipv4Address sender = 0;
  EXPECT_EQ(LoopbackExchange(kSdnpPort, ConsoleFrame(kSdnpQry, 0x1234), kServed, sender),
            Hex("2D 7A 34 12 01 00 00 00 55 AA 42 AC"));
  EXPECT_EQ(sender, kServed);
  EXPECT_EQ(LoopbackExchange(kUdpPort, "\x05", kServed, sender), "\x06");
  EXPECT_EQ(sender, kServed);
  EXPECT_EQ(TcpExchange(kServed, "v\r\n"), kInfoReply);

  kill(pid, SIGTERM);
  EXPECT_EQ(test::WaitForExit(pid), 0);
  close(out[0]);
}

}  // namespace
}  // namespace veritor::sim
