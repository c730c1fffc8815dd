// The remote console transport against the simulated game server over real UDP on 127.0.0.1.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
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

using drav_test::fatal_stderr_pattern;
using namespace std::chrono_literals;

namespace {

constexpr char kPassword[] = "secret";
const std::string kHeader = "\xFF\xFF\xFF\xFF";
const std::string kPrint = kHeader + "print\n";

ts_config make_config(std::uint16_t server_port, int client_port = 0) {
  ts_config config;
  config.net_server_ip = 0x7F000001;  // 127.0.0.1
  config.net_server_port = server_port;
  r_dravtools_varcpy(config.net_server_rcon, kPassword);
  config.net_client_port = client_port;
  config.net_response_timeout_1 = 1000;
  config.net_response_timeout_next = 150;
  return config;
}

/// A UDP socket bound to `port` on every local address, or nothing when the port is taken.
std::optional<int> bind_udp(int port) {
  const int descriptor = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ::close(descriptor);
    return std::nullopt;
  }
  return descriptor;
}

/// A port P such that P .. P+32 are all free right now.
int free_port_range() {
  std::mt19937 random(static_cast<unsigned>(::getpid()));
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int base = std::uniform_int_distribution<int>(20000, 30000)(random);
    std::vector<int> taken;
    for (int port = base; port <= base + NET_SLOT_SOCKETS; ++port) {
      const std::optional<int> descriptor = bind_udp(port);
      if (!descriptor) {
        break;
      }
      taken.push_back(*descriptor);
    }
    const bool all_free = taken.size() == NET_SLOT_SOCKETS + 1;
    for (const int descriptor : taken) {
      ::close(descriptor);
    }
    if (all_free) {
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
    config_ = config;
    r_dravnet_init(config_);
  }

  /// Answers each command in `replies` with exactly the datagrams given for it.
  void answer_with(std::map<std::string, std::vector<std::string>> replies) {
    server_.set_reply_override([replies = std::move(replies)](const std::string& command)
                                   -> std::optional<std::vector<std::string>> {
      const auto it = replies.find(command);
      if (it == replies.end()) {
        return std::nullopt;
      }
      return it->second;
    });
  }

  drav_sim::SimServer server_{kPassword};
  ts_config config_;
};

TEST_F(NetTest, CommandDatagramCarriesHeaderPasswordCommandAndNul) {
  const std::string long_command = "say " + std::string(3000, 'x');
  const struct {
    std::string command;
    std::string datagram;
  } cases[] = {
      {"status", kHeader + "rcon secret status" + std::string(1, '\0')},
      {"dumpuser 7", kHeader + "rcon secret dumpuser 7" + std::string(1, '\0')},
      // The text is cut at 2048 bytes: 2053 bytes on the wire.
      {long_command, kHeader + ("rcon secret " + long_command).substr(0, 2048) + '\0'},
      // A command is a C text for the server and ends at its first NUL.
      {std::string("say one\0two", 11), kHeader + "rcon secret say one" + '\0'},
  };
  for (const auto& test : cases) {
    server_.clear_commands();
    EXPECT_TRUE(r_dravnet_send_command(test.command, 1, NET_MAIN_SOCKET).has_value());
    const std::vector<drav_sim::ReceivedCommand> received = server_.commands();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].datagram, test.datagram);
    EXPECT_TRUE(received[0].password_ok);
  }
  server_.clear_commands();
  r_dravnet_send_command(long_command, 1, NET_MAIN_SOCKET);
  EXPECT_EQ(server_.commands().at(0).datagram.size(), 2053u);
}

TEST_F(NetTest, EmptyCommandSendsNothingAndReturnsNothing) {
  EXPECT_EQ(r_dravnet_send_command("", 1, NET_MAIN_SOCKET), std::nullopt);
  EXPECT_EQ(r_dravnet_send_command("", -1, 3), std::nullopt);
  EXPECT_EQ(r_dravnet_send_command(std::string(1, '\0'), 1, NET_MAIN_SOCKET), std::nullopt);
  // A command sent afterwards is the first the server sees.
  EXPECT_EQ(r_dravnet_send_command("say marker", 1, NET_MAIN_SOCKET), "");
  const std::vector<drav_sim::ReceivedCommand> received = server_.commands();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].command, "say marker");
}

TEST_F(NetTest, ZeroDatagramsSendsAndReturnsNothingWithoutWaiting) {
  ts_config config = make_config(server_.port());
  config.net_response_timeout_1 = 20000;
  reinit(config);
  server_.fill_players(2);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(r_dravnet_send_command("status", 0, NET_MAIN_SOCKET), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  ASSERT_TRUE(server_.wait_for_commands(1, 2000));
  EXPECT_EQ(server_.commands()[0].command, "status");
  // The unread status answer arrives meanwhile and must not join the next reply.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(r_dravnet_send_command("say hello", 1, NET_MAIN_SOCKET), "");
}

TEST_F(NetTest, ReplyDatagramHeadersAndTextLimits) {
  const struct {
    const char* name;
    std::vector<std::string> datagrams;
    std::optional<std::string> reply;
  } cases[] = {
      {"print datagram of exactly 10 bytes adds empty text", {kPrint}, ""},
      {"9 bytes lose only the first 4", {kHeader + "print"}, "print"},
      {"text ends at a NUL inside the datagram", {kPrint + std::string("ab\0cd", 5)}, "ab"},
      {"datagram without print drops 4 bytes", {kHeader + "hello"}, "hello"},
      {"header bytes are not examined", {"XXXXprint\nhi"}, "hi"},
      {"any byte may follow print", {kHeader + "print!tail"}, "tail"},
      {"texts join in arrival order",
       {kPrint + "one ", kPrint + "two ", kPrint + "three"},
       "one two three"},
      {"a datagram shorter than 4 bytes adds nothing", {"\xFF\xFF\xFF", kPrint + "x"}, "x"},
      {"a lone short datagram still is a reply", {"ab"}, ""},
      {"reads stop at 2052 bytes", {kPrint + std::string(3000, 'y')}, std::string(2042, 'y')},
      {"no datagram at all", {}, std::nullopt},
  };
  std::map<std::string, std::vector<std::string>> replies;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    replies["case " + std::to_string(i)] = cases[i].datagrams;
  }
  answer_with(replies);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(r_dravnet_send_command("case " + std::to_string(i), -1, NET_MAIN_SOCKET),
              cases[i].reply)
        << cases[i].name;
  }
}

TEST_F(NetTest, StopsAfterRequestedDatagramsAndDrainsTheRest) {
  for (int slot = 0; slot < drav_sim::SIM_MAX_CLIENTS; ++slot) {
    drav_sim::Player player;
    player.name = "LongNamedPlayer_" + std::to_string(100 + slot) + "_abcdefghi";  // 29 bytes
    player.ip = "203.0.113." + std::to_string(slot + 1);
    server_.set_player(slot, player);
  }
  const std::vector<std::string> datagrams = server_.execute("status");
  ASSERT_EQ(datagrams.size(), 3u);
  const auto text = [&](std::size_t i) { return datagrams[i].substr(10); };

  EXPECT_EQ(r_dravnet_send_command("status", 2, NET_MAIN_SOCKET), text(0) + text(1));
  // The third datagram arrives after the reply was returned; the next command drains it.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(r_dravnet_send_command("say next", -1, NET_MAIN_SOCKET), "");

  EXPECT_EQ(r_dravnet_send_command("status", 3, NET_MAIN_SOCKET), text(0) + text(1) + text(2));
  EXPECT_EQ(r_dravnet_send_command("status", -1, NET_MAIN_SOCKET), text(0) + text(1) + text(2));
  EXPECT_EQ(r_dravnet_send_command("status", 1, NET_MAIN_SOCKET), text(0));
}

TEST_F(NetTest, WaitForFurtherDatagramsFollowsDeliveryTime) {
  const struct {
    const char* name;
    int timeout_next;
    int reply_delay_ms;
    int between_ms;
    std::string reply;
  } cases[] = {
      // The next wait is three times the delivery time of the datagram before.
      {"a first datagram after 40 ms is followed by a wait of 120 ms", 0, 40, 40, "first second"},
      {"a gap of 450 ms after a 100 ms delivery ends the reply", 0, 100, 450, "first "},
      {"a first datagram after 100 ms is followed by a wait of 300 ms", 0, 100, 220,
       "first second"},
      // A datagram that came at once measures 1 ms at most: the next wait is a few ms.
      {"a gap after a fast first datagram ends the reply", 0, 0, 300, "first "},
      {"a fixed next wait covers the gap", 600, 0, 300, "first second"},
      {"a fixed next wait too short for the gap", 100, 0, 300, "first "},
  };
  answer_with({{"pair", {kPrint + "first ", kPrint + "second"}}});
  for (const auto& test : cases) {
    ts_config config = make_config(server_.port());
    config.net_response_timeout_next = test.timeout_next;
    reinit(config);
    drav_sim::Faults faults;
    faults.reply_delay_ms = test.reply_delay_ms;
    faults.between_datagrams_ms = test.between_ms;
    server_.set_faults(faults);
    EXPECT_EQ(r_dravnet_send_command("pair", -1, NET_MAIN_SOCKET), test.reply) << test.name;
    // Let a second datagram that came too late arrive before the next case drains it.
    std::this_thread::sleep_for(500ms);
  }
}

TEST_F(NetTest, SilentServerEndsTheWaitWithNothing) {
  ts_config config = make_config(server_.port());
  config.net_response_timeout_1 = 200;
  config.net_response_timeout_next = 0;
  reinit(config);
  drav_sim::Faults faults;
  faults.silent = true;
  server_.set_faults(faults);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(r_dravnet_send_command("status", -1, NET_MAIN_SOCKET), std::nullopt);
  EXPECT_EQ(r_dravnet_send_command("dumpuser 3", 1, 3), std::nullopt);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
  EXPECT_EQ(server_.commands().size(), 2u);
}

TEST_F(NetTest, GarbageRepliesNeverBreakTheTransport) {
  ts_config config = make_config(server_.port());
  config.net_response_timeout_next = 30;
  reinit(config);
  drav_sim::Faults faults;
  faults.garbage = true;
  server_.set_faults(faults);
  for (int i = 0; i < 20; ++i) {
    const std::optional<std::string> reply = r_dravnet_send_command("status", -1, i % 4 - 1);
    if (reply) {
      EXPECT_EQ(reply->find('\0'), std::string::npos);
      EXPECT_LE(reply->size(), 3u * 2048u);
    }
  }
}

TEST_F(NetTest, SlotSocketsUseConsecutiveLocalPorts) {
  const int base = free_port_range();
  ASSERT_NE(base, 0);
  reinit(make_config(server_.port(), base));
  const struct {
    int socket_index;
    int local_port;
  } cases[] = {
      {5, base + 6}, {NET_MAIN_SOCKET, base}, {0, base + 1}, {31, base + 32}, {5, base + 6}};
  for (const auto& test : cases) {
    server_.clear_commands();
    EXPECT_EQ(r_dravnet_send_command("say port", 1, test.socket_index), "");
    ASSERT_EQ(server_.commands().size(), 1u);
    EXPECT_EQ(server_.commands()[0].source_port, test.local_port) << test.socket_index;
  }
}

// The fatal paths run in a child process without a simulated server thread.
class NetFatalTest : public ::testing::Test {};

rlimit saved_descriptor_limit{};

/// Makes every further descriptor fail to open, until the process exits: the exit handlers
/// of the test framework and the sanitizers need descriptors again.
void exhaust_descriptors() {
  const int next = ::dup(0);
  ::close(next);
  ::getrlimit(RLIMIT_NOFILE, &saved_descriptor_limit);
  std::atexit([] { ::setrlimit(RLIMIT_NOFILE, &saved_descriptor_limit); });
  rlimit limit = saved_descriptor_limit;
  limit.rlim_cur = static_cast<rlim_t>(next);
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

TEST_F(NetFatalTest, SocketThatCannotBeCreated) {
  const ts_config config = make_config(27910);
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        r_dravlog_init_first();
        exhaust_descriptors();
        r_dravnet_init(config);
      },
      ::testing::ExitedWithCode(1),
      fatal_stderr_pattern("./src/drav_net - Unable to create socket\n"));
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        r_dravlog_init_first();
        r_dravnet_init(config);
        exhaust_descriptors();
        r_dravnet_send_command("dumpuser 4", 1, 4);
      },
      ::testing::ExitedWithCode(1),
      fatal_stderr_pattern("./src/drav_net - Unable to create socket\n"));
}

TEST_F(NetFatalTest, PortThatCannotBeBound) {
  const int base = free_port_range();
  ASSERT_NE(base, 0);
  const ts_config config = make_config(27910, base);
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        r_dravlog_init_first();
        const std::optional<int> taken = bind_udp(base);
        r_dravnet_init(config);
        ::close(taken.value_or(-1));
      },
      ::testing::ExitedWithCode(1),
      fatal_stderr_pattern("./src/drav_net - Unable to bind local settings to socket\n"));
  // A slot socket binds on its first use, so its port is checked only then.
  const auto use_slots = [&](int last_slot) {
    std::freopen("/dev/null", "r", stdin);
    r_dravlog_init_first();
    const std::optional<int> taken = bind_udp(base + 6);
    r_dravnet_init(config);
    for (int slot = 0; slot <= last_slot; ++slot) {
      r_dravnet_send_command("dumpuser " + std::to_string(slot), 0, slot);
    }
    ::close(taken.value_or(-1));
    std::exit(3);
  };
  EXPECT_EXIT(use_slots(4), ::testing::ExitedWithCode(3), "");
  EXPECT_EXIT(use_slots(5), ::testing::ExitedWithCode(1),
              fatal_stderr_pattern("./src/drav_net - Unable to bind local settings to socket\n"));
}

TEST_F(NetFatalTest, DatagramThatCannotBeSent) {
  // The system refuses to send to port 0.
  const ts_config config = make_config(0);
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        r_dravlog_init_first();
        r_dravnet_init(config);
        r_dravnet_send_command("status", 2, NET_MAIN_SOCKET);
      },
      ::testing::ExitedWithCode(1), fatal_stderr_pattern("./src/drav_net - Unable to send\n"));
}

TEST_F(NetFatalTest, SocketThatCannotBeClosed) {
  const int base = free_port_range();
  ASSERT_NE(base, 0);
  const ts_config config = make_config(27910, base);
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        r_dravlog_init_first();
        r_dravnet_init(config);
        // Close the slot socket behind the transport's back, so that its own close fails.
        r_dravnet_send_command("dumpuser 9", 0, 9);
        for (int descriptor = 3; descriptor < 1024; ++descriptor) {
          sockaddr_in local{};
          socklen_t length = sizeof local;
          if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
              local.sin_family == AF_INET && ntohs(local.sin_port) == base + 10) {
            ::close(descriptor);
          }
        }
        r_dravnet_finish();
      },
      ::testing::ExitedWithCode(1),
      fatal_stderr_pattern("./src/drav_net - Unable to close socket\n"));
}

}  // namespace
