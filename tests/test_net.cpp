// The remote console transport against the simulated game server over real UDP on 127.0.0.1.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "drav_config.h"
#include "drav_log.h"
#include "drav_net.h"
#include "sim_server.h"
#include "support.h"

using namespace std::chrono_literals;

namespace {

const std::string HEADER = "\xFF\xFF\xFF\xFF";
const std::string PRINT = HEADER + "print\n";

ts_config make_config(std::uint16_t server_port, int client_port = 0, int timeout_next = 150) {
  ts_config config;
  config.net_server_ip = 0x7F000001;  // 127.0.0.1
  config.net_server_port = server_port;
  r_dravtools_varcpy(config.net_server_rcon, "secret");
  config.net_client_port = client_port;
  config.net_response_timeout_1 = 1000;
  config.net_response_timeout_next = timeout_next;
  return config;
}

/// A UDP socket bound to `port` on every local address; -1 when the port is taken.
int bind_udp(int port) {
  const int descriptor = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ::close(descriptor);
    return -1;
  }
  return descriptor;
}

/// A port P such that P .. P+32 are all free right now.
int free_port_range() {
  std::mt19937 random(static_cast<unsigned>(::getpid()));
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int base = 20000 + static_cast<int>(random() % 10000);
    std::vector<int> descriptors;
    for (int port = base; port <= base + NET_SLOT_SOCKETS; ++port) {
      descriptors.push_back(bind_udp(port));
    }
    std::ranges::for_each(descriptors, ::close);
    if (std::ranges::none_of(descriptors, [](int descriptor) { return descriptor < 0; })) {
      return base;
    }
  }
  ADD_FAILURE() << "no free range of 33 UDP ports";
  return 0;
}

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override { reinit(make_config(server_.port())); }
  void TearDown() override { r_dravnet_finish(); }

  void reinit(const ts_config& config) {
    r_dravnet_finish();
    config_ = config;  // the transport keeps the configuration it was given
    r_dravnet_init(config_);
  }
  /// Answers each command in `replies` with exactly the datagrams given for it.
  void answer_with(std::map<std::string, std::vector<std::string>> replies) {
    server_.set_reply_override([replies = std::move(replies)](const std::string& command)
                                   -> std::optional<std::vector<std::string>> {
      const auto it = replies.find(command);
      return it == replies.end() ? std::nullopt : std::optional(it->second);
    });
  }
  std::optional<std::string> send(std::string_view command, int datagrams = -1) {
    return r_dravnet_send_command(command, datagrams, NET_MAIN_SOCKET);
  }

  drav_sim::SimServer server_{"secret"};
  ts_config config_;
};

TEST_F(NetTest, CommandDatagramCarriesHeaderPasswordCommandAndNul) {
  const std::string long_command = "say " + std::string(3000, 'x');
  const std::pair<std::string, std::string> cases[] = {
      {"status", HEADER + "rcon secret status" + '\0'},
      // The text is cut at 2048 bytes.
      {long_command, HEADER + ("rcon secret " + long_command).substr(0, 2048) + '\0'},
      // A command is a C text for the server and ends at its first NUL.
      {std::string("say one\0two", 11), HEADER + "rcon secret say one" + '\0'}};
  for (const auto& [command, datagram] : cases) {
    server_.clear_commands();
    EXPECT_TRUE(send(command, 1).has_value());
    const auto received = server_.commands();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].datagram, datagram);
  }
}

TEST_F(NetTest, EmptyCommandOrNoDatagramsReturnNothing) {
  EXPECT_EQ(send("", 1), std::nullopt);
  EXPECT_EQ(r_dravnet_send_command("", -1, 3), std::nullopt);
  EXPECT_EQ(send(std::string(1, '\0'), 1), std::nullopt);
  // A command sent afterwards is the first the server sees.
  EXPECT_EQ(send("say marker", 1), "");
  ASSERT_EQ(server_.commands().size(), 1u);
  EXPECT_EQ(server_.commands()[0].command, "say marker");

  // 0 datagrams sends without waiting; the unread answer must not join the next reply.
  ts_config config = make_config(server_.port());
  config.net_response_timeout_1 = 20000;
  reinit(config);
  server_.clear_commands();
  server_.fill_players(2);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(send("status", 0), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  ASSERT_TRUE(server_.wait_for_commands(1, 2000));
  EXPECT_EQ(server_.commands()[0].command, "status");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(send("say hello", 1), "");
}

TEST_F(NetTest, ReplyDatagramHeadersAndTextLimits) {
  const std::pair<std::vector<std::string>, std::optional<std::string>> cases[] = {
      {{PRINT}, ""},                  // exactly 10 bytes: an empty text
      {{HEADER + "print"}, "print"},  // 9 bytes lose only the header
      {{PRINT + std::string("ab\0cd", 5)}, "ab"},
      {{HEADER + "hello"}, "hello"},
      {{"XXXXprint\nhi"}, "hi"},  // the header bytes are not examined
      {{HEADER + "print!tail"}, "tail"},
      {{PRINT + "one ", PRINT + "two ", PRINT + "three"}, "one two three"},
      {{"\xFF\xFF\xFF", PRINT + "x"}, "x"},
      {{"ab"}, ""},  // a short datagram adds nothing but still is a reply
      {{PRINT + std::string(3000, 'y')}, std::string(2042, 'y')},  // reads stop at 2052 bytes
      {{}, std::nullopt}};
  std::map<std::string, std::vector<std::string>> replies;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    replies["case " + std::to_string(i)] = cases[i].first;
  }
  answer_with(replies);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(send("case " + std::to_string(i)), cases[i].second) << "case " << i;
  }
}

TEST_F(NetTest, StopsAfterRequestedDatagramsAndDrainsTheRest) {
  answer_with({{"three", {PRINT + "1 ", PRINT + "2 ", PRINT + "3"}}});
  EXPECT_EQ(send("three", 2), "1 2 ");
  // The third datagram arrives after the reply was returned; the next command drains it.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(send("say next"), "");
  EXPECT_EQ(send("three", 3), "1 2 3");
  EXPECT_EQ(send("three"), "1 2 3");
  EXPECT_EQ(send("three", 1), "1 ");
}

TEST_F(NetTest, WaitForFurtherDatagramsFollowsDeliveryTime) {
  const struct {
    int timeout_next, reply_delay_ms, between_ms;
    std::string reply;
  } cases[] = {
      // The next wait is three times the delivery time of the datagram before; one that came
      // at once measures 1 ms at most.
      {0, 40, 40, "first second"}, {0, 100, 450, "first "},       {0, 100, 220, "first second"},
      {0, 0, 300, "first "},       {600, 0, 300, "first second"},  // a fixed next wait
      {100, 0, 300, "first "},
  };
  answer_with({{"pair", {PRINT + "first ", PRINT + "second"}}});
  for (const auto& test : cases) {
    reinit(make_config(server_.port(), 0, test.timeout_next));
    server_.set_faults(
        {.reply_delay_ms = test.reply_delay_ms, .between_datagrams_ms = test.between_ms});
    EXPECT_EQ(send("pair"), test.reply) << test.reply_delay_ms << " " << test.between_ms;
    // Let a second datagram that came too late arrive before the next case drains it.
    std::this_thread::sleep_for(500ms);
  }
}

TEST_F(NetTest, SilenceEndsTheWaitWithNothing) {
  ts_config config = make_config(server_.port(), 0, 0);
  config.net_response_timeout_1 = 200;
  reinit(config);
  server_.set_faults({.silent = true});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(send("status"), std::nullopt);
  EXPECT_EQ(r_dravnet_send_command("dumpuser 3", 1, 3), std::nullopt);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
  EXPECT_EQ(server_.commands().size(), 2u);
}

TEST_F(NetTest, SlotSocketsUseConsecutiveLocalPorts) {
  const int base = free_port_range();
  ASSERT_NE(base, 0);
  reinit(make_config(server_.port(), base));
  const std::pair<int, int> cases[] = {
      {5, base + 6}, {NET_MAIN_SOCKET, base}, {0, base + 1}, {31, base + 32}, {5, base + 6}};
  for (const auto& [socket_index, local_port] : cases) {
    server_.clear_commands();
    EXPECT_EQ(r_dravnet_send_command("say port", 1, socket_index), "");
    ASSERT_EQ(server_.commands().size(), 1u);
    EXPECT_EQ(server_.commands()[0].source_port, local_port) << socket_index;
  }
}

TEST(NetAssembly, OnlyTheServerCountsEveryWaitKeepsItsEndAndRepliesAreBounded) {
  constexpr std::uint32_t SERVER = 0x7F000001;  // 127.0.0.1
  constexpr std::uint16_t PORT = 27910;
  struct Datagram {
    std::string text;  // "print" datagram text, or "" for an empty datagram
    std::int64_t at;
    std::uint32_t ip = SERVER;
    std::uint16_t port = PORT;
  };
  const auto repeated = [](int count, const std::string& text, std::int64_t first, int every) {
    std::vector<Datagram> datagrams;
    for (int i = 0; i < count; ++i) {
      datagrams.push_back({text, first + static_cast<std::int64_t>(i) * every});
    }
    return datagrams;
  };
  const std::string big(2000, 'b');
  const struct {
    const char* what;
    std::uint32_t server_ip;
    ts_net_collect collect;
    std::vector<Datagram> datagrams;
    std::optional<std::string> reply;
  } cases[] = {
      {"other port, then the server", SERVER, {-1, 100, 0}, {{"x", 5, SERVER, 9}, {"a", 9}}, "a"},
      {"other address only", SERVER, {-1, 100, 0}, {{"x", 5, 0x7F000002}}, std::nullopt},
      // 0.0.0.0 reaches this machine: 127.0.0.0/8 and its own addresses answer.
      {"0.0.0.0",
       0,
       {-1, 100, 0},
       {{"a", 1, 0x7F000005}, {"b", 2, 0xC0000201}, {"x", 3, 0xC6336401}},
       "ab"},
      // Strangers neither restart the first wait nor end it.
      {"late after strangers",
       SERVER,
       {-1, 100, 0},
       {{"x", 50, SERVER, 1}, {"x", 90, SERVER, 1}, {"a", 101}},
       std::nullopt},
      // Delivery times 40 and 110 ms: the waits end at 160 and 480 ms.
      {"adaptive waits", SERVER, {-1, 100, 0}, {{"a", 40}, {"b", 150}, {"c", 481}}, "ab"},
      {"fixed next wait", SERVER, {-1, 100, 50}, {{"a", 40}, {"b", 90}, {"c", 141}}, "ab"},
      {"requested count", SERVER, {2, 100, 0}, {{"a", 1}, {"b", 2}, {"c", 3}}, "ab"},
      {"empty datagram ends it",
       SERVER,
       {-1, 100, 0},
       {{"a", 1}, {"", 2, SERVER, 1}, {"b", 3}, {"", 4}, {"c", 5}},
       "ab"},
      {"datagram bound",
       SERVER,
       {-1, 100, 100},
       repeated(100, "d", 1, 1),
       std::string(NET_REPLY_MAX_DATAGRAMS, 'd')},
      {"byte bound",
       SERVER,
       {-1, 100, 100},
       repeated(40, big, 1, 1),
       std::string(NET_REPLY_MAX_BYTES, 'b')},
      // The reply ends 5 s after its first datagram, however often the server sends.
      {"time bound", SERVER, {-1, 100, 1000}, repeated(20, "t", 10, 900), std::string(6, 't')},
  };
  for (const auto& c : cases) {
    std::vector<std::string> bytes;
    for (const Datagram& datagram : c.datagrams) {
      bytes.push_back(datagram.text.empty() ? "" : PRINT + datagram.text);
    }
    std::vector<ts_net_datagram> received;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const Datagram& datagram = c.datagrams[i];
      received.push_back({datagram.ip, datagram.port, bytes[i], datagram.at});
    }
    const ts_net_server server{c.server_ip, PORT, {0xC0000201}};
    EXPECT_EQ(r_dravnet_assemble_reply(received, server, c.collect), c.reply) << c.what;
  }
}

TEST_F(NetTest, StrangersNeitherJoinNorHoldAReplyAndNoServerSendsForever) {
  answer_with({{"pair", {PRINT + "first ", PRINT + "second"}}});
  server_.set_faults({.reply_from_other_port = true});
  EXPECT_EQ(send("pair"), std::nullopt);
  const std::uint16_t main_port = server_.commands().back().source_port;

  // A stream of complete forged replies from another port while the server answers late.
  server_.start_stream(main_port, 2000, PRINT + "forged\n");
  server_.set_faults({.reply_delay_ms = 200});
  EXPECT_EQ(send("pair"), "first second");
  server_.stop_stream();
  EXPECT_GT(server_.streamed(), 100u);
  // A server configured as 0.0.0.0 is this machine, whose answers come from 127.0.0.1.
  ts_config any_local = make_config(server_.port(), 0, 1000);
  any_local.net_server_ip = 0;
  reinit(any_local);
  EXPECT_EQ(send("pair"), "first second");

  // The server sends every millisecond: the reply stops at its datagram bound.
  server_.set_faults({.endless_ms = 1});
  std::string endless = "first second";
  for (int i = 2; i < NET_REPLY_MAX_DATAGRAMS; ++i) {
    endless += "more\n";
  }
  EXPECT_EQ(send("pair"), endless);
}

TEST_F(NetTest, SignalsDuringAWaitDoNotEndIt) {
  struct sigaction ignore {};
  ignore.sa_handler = [](int) {};
  struct sigaction saved {};
  sigaction(SIGALRM, &ignore, &saved);
  // A signal every 5 ms interrupts every wait several times.
  itimerval every{{0, 5000}, {0, 5000}};
  setitimer(ITIMER_REAL, &every, nullptr);
  answer_with({{"pair", {PRINT + "first ", PRINT + "second"}}});
  server_.set_faults({.reply_delay_ms = 150, .between_datagrams_ms = 60});
  EXPECT_EQ(send("pair"), "first second");
  every = {};
  setitimer(ITIMER_REAL, &every, nullptr);
  sigaction(SIGALRM, &saved, nullptr);
}

// Runs `body` in a child process, without a simulated server thread, and expects the exit
// `code` and, when given, the transport's fatal `message`.
void expect_exit(const std::function<void()>& body, const std::string& message, int code = 1) {
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        r_dravlog_init_first();
        body();
        std::exit(3);
      },
      ::testing::ExitedWithCode(code),
      message.empty() ? "" : drav_test::fatal_stderr_pattern("./src/drav_net - " + message + "\n"));
}

int next_descriptor() {
  const int next = ::dup(0);
  ::close(next);
  return next;
}

rlimit saved_descriptor_limit{};

/// Makes every further descriptor fail to open, until the process exits: the exit handlers
/// of the test framework and the sanitizers need descriptors again.
void exhaust_descriptors() {
  ::getrlimit(RLIMIT_NOFILE, &saved_descriptor_limit);
  std::atexit([] { ::setrlimit(RLIMIT_NOFILE, &saved_descriptor_limit); });
  rlimit limit = saved_descriptor_limit;
  limit.rlim_cur = static_cast<rlim_t>(next_descriptor());
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

TEST(NetFatal, SocketErrorsAreFatal) {
  const ts_config config = make_config(27910);
  expect_exit([&] { exhaust_descriptors(), r_dravnet_init(config); }, "Unable to create socket");
  expect_exit(
      [&] {
        r_dravnet_init(config);
        exhaust_descriptors();
        r_dravnet_send_command("dumpuser 4", 1, 4);
      },
      "Unable to create socket");
  // Closing a slot socket behind the transport's back makes its own close fail.
  expect_exit(
      [&] {
        r_dravnet_init(config);
        const int slot_socket = next_descriptor();
        r_dravnet_send_command("dumpuser 9", 0, 9);
        ::close(slot_socket);
        r_dravnet_finish();
      },
      "Unable to close socket");
  // The system refuses to send to port 0.
  const ts_config port_zero = make_config(0);
  expect_exit([&] { r_dravnet_init(port_zero), r_dravnet_send_command("status", 2, -1); },
              "Unable to send");
}

TEST(NetFatal, PortsThatCannotBeBound) {
  const int base = free_port_range();
  ASSERT_NE(base, 0);
  const ts_config config = make_config(27910, base);
  const auto taken_port = [&](int port, int last_slot) {
    return [&, port, last_slot] {
      const int taken = bind_udp(port);
      r_dravnet_init(config);
      for (int slot = 0; slot <= last_slot; ++slot) {
        r_dravnet_send_command("dumpuser " + std::to_string(slot), 0, slot);
      }
      ::close(taken);
    };
  };
  expect_exit(taken_port(base, -1), "Unable to bind local settings to socket");
  // A slot socket binds on its first use, so its port is checked only then.
  expect_exit(taken_port(base + 6, 4), "", 3);
  expect_exit(taken_port(base + 6, 5), "Unable to bind local settings to socket");
}

}  // namespace
