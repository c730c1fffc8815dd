// The remote console transport over real UDP against the simulated server, and reply assembly.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <thread>

#include "drav_config.h"
#include "drav_log.h"
#include "drav_loop.h"
#include "drav_net.h"
#include "sim_server.h"
#include "support.h"

using namespace std::chrono_literals;

namespace {

const std::string HEADER = "\xFF\xFF\xFF\xFF";
const std::string PRINT = HEADER + "print\n";

using drav_test::make_config;

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override { reinit(make_config(server_.port())); }
  void TearDown() override { r_dravnet_finish(); }
  void reinit(const ts_config& config) {
    r_dravnet_finish();
    config_ = config;  // the transport keeps the configuration it was given
    r_dravnet_init(config_);
  }
  void answer_with(const std::string& command, const std::vector<std::string>& datagrams) {
    server_.set_reply_override([=](const std::string& got) {
      return got == command ? std::optional(datagrams) : std::nullopt;
    });
  }
  std::optional<std::string> send(std::string_view command, int datagrams = -1, int socket = -1) {
    return r_dravnet_send_command(command, datagrams, socket);
  }

  drav_sim::SimServer server_{"secret"};
  ts_config config_;
};

TEST_F(NetTest, CommandDatagramsAndTheirReplies) {
  const std::string long_command = "say " + std::string(3000, 'x');
  const std::pair<std::string, std::string> commands[] = {
      {"status", HEADER + "rcon secret status" + '\0'},
      // The text is cut at 2048 bytes, and a command ends at its first NUL.
      {long_command, HEADER + ("rcon secret " + long_command).substr(0, 2048) + '\0'},
      {std::string("say one\0two", 11), HEADER + "rcon secret say one" + '\0'}};
  for (const auto& [command, datagram] : commands) {
    server_.clear_commands();
    EXPECT_TRUE(send(command, 1).has_value());
    ASSERT_EQ(server_.commands().size(), 1u);
    EXPECT_EQ(server_.commands()[0].datagram, datagram);
  }
  server_.clear_commands();
  EXPECT_EQ(send("", 1), std::nullopt);
  EXPECT_EQ(send(std::string(1, '\0'), 1), std::nullopt);
  EXPECT_TRUE(server_.commands().empty());

  const std::pair<std::vector<std::string>, std::optional<std::string>> replies[] = {
      {{PRINT}, ""},                  // exactly 10 bytes: an empty text
      {{HEADER + "print"}, "print"},  // 9 bytes lose only the header
      {{PRINT + std::string("ab\0cd", 5)}, "ab"},
      {{"XXXXprint\nhi"}, "hi"},  // the header bytes are not examined
      {{HEADER + "print!tail"}, "tail"},
      {{"\xFF\xFF\xFF", PRINT + "x"}, "x"},  // a short datagram adds nothing but is a reply
      {{PRINT + std::string(3000, 'y')}, std::string(2042, 'y')}};  // reads stop at 2052 bytes
  for (const auto& [datagrams, reply] : replies) {
    answer_with("case", datagrams);
    EXPECT_EQ(send("case"), reply) << datagrams.size() << " datagrams";
  }
  answer_with("three", {PRINT + "1 ", PRINT + "2 ", PRINT + "3"});
  // A reply stops after the datagrams asked for, 0 only sends, the next command drains the rest.
  for (const int datagrams : {2, 0}) {
    const std::size_t replied = server_.replied();
    EXPECT_EQ(send("three", datagrams), datagrams == 2 ? std::optional("1 2 ") : std::nullopt);
    for (int wait = 0; wait < 500 && server_.replied() < replied + 3; ++wait)
      std::this_thread::sleep_for(10ms);
    EXPECT_EQ(send("say next"), "");
  }
  EXPECT_EQ(send("three", 1), "1 ");
}

TEST_F(NetTest, AnyLocalServerIsHeardSignalsDoNotEndAWaitAndSilenceEndsIt) {
  answer_with("pair", {PRINT + "first ", PRINT + "second"});
  // A server configured as 0.0.0.0 is this machine, whose answers come from 127.0.0.1.
  ts_config any_local = make_config(server_.port(), 0, 1000);
  any_local.net_server_ip = 0;
  reinit(any_local);
  server_.set_faults({.reply_delay_ms = 150, .between_datagrams_ms = 60});
  // A signal every 5 ms interrupts every wait several times.
  struct sigaction ignore = {}, saved = {};
  ignore.sa_handler = [](int) {};
  sigaction(SIGALRM, &ignore, &saved);
  itimerval every{{0, 5000}, {0, 5000}};
  setitimer(ITIMER_REAL, &every, nullptr);
  EXPECT_EQ(send("pair"), "first second");
  every = {};
  setitimer(ITIMER_REAL, &every, nullptr);
  sigaction(SIGALRM, &saved, nullptr);

  reinit(make_config(server_.port(), 0, 0, 200));
  server_.set_faults({.silent = true});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(send("status"), std::nullopt);
  EXPECT_EQ(send("dumpuser 3", 1, 3), std::nullopt);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
  // A quit ends the wait in flight at once, with nothing.
  std::optional<std::optional<ts_net_reply>> got;
  r_dravnet_send_then("status", -1, -1, [&](std::optional<ts_net_reply> r) { got = r; });
  r_dravloop_request_quit();
  ASSERT_TRUE(got.has_value());
  EXPECT_FALSE(got->has_value());
  r_dravnet_finish();
  r_dravloop_init();  // no quit for the next tests
}

TEST_F(NetTest, SayFramesAConsoleSafeMessageInColourAndTheConsoleCutsIt) {
  r_dravnet_say(0x107, "%s joined with \"no %d\" #$'", "Bob\r", 5);
  r_dravnet_say(3, "%s", std::string(600, 'a').c_str());
  const auto commands = server_.commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].command, "say \"-\r\x07*** Bob joined with \x97no 5\x97   \x95 \x07***\"");
  // The console cuts a command at 511 bytes.
  const std::string head = "say \"-\r\x03*** ";
  EXPECT_EQ(commands[1].command, head + std::string(511 - head.size(), 'a'));
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
    for (int i = 0; i < count; ++i)
      datagrams.push_back({text, first + static_cast<std::int64_t>(i) * every});
    return datagrams;
  };
  const struct {
    std::uint32_t server_ip;
    ts_net_collect collect;
    std::vector<Datagram> datagrams;
    std::optional<std::string> reply;
  } cases[] = {
      {SERVER, {-1, 100, 0}, {{"x", 5, SERVER, 9}, {"a", 9}}, "a"},  // another port first
      {SERVER, {-1, 100, 0}, {{"x", 5, 0x7F000002}}, std::nullopt},
      // 0.0.0.0 reaches this machine: 127.0.0.0/8 and its own addresses answer.
      {0, {-1, 100, 0}, {{"a", 1, 0x7F000005}, {"b", 2, 0xC0000201}, {"x", 3, 0xC6336401}}, "ab"},
      // Strangers neither restart the first wait nor end it.
      {SERVER, {-1, 100, 0}, {{"x", 50, SERVER, 1}, {"x", 90, SERVER, 1}, {"a", 101}}, {}},
      // Delivery times 40 and 110 ms: the waits end at 160 and 480 ms.
      {SERVER, {-1, 100, 0}, {{"a", 40}, {"b", 150}, {"c", 481}}, "ab"},
      {SERVER, {-1, 100, 0}, {{"a", 1}, {"b", 5}}, "a"},  // 1 ms: the wait ends at 4 ms
      {SERVER, {-1, 100, 0}, {{"a", 40}, {"b", 150}, {"c", 480}}, "abc"},
      {SERVER, {-1, 100, 50}, {{"a", 40}, {"b", 90}, {"c", 141}}, "ab"},
      {SERVER, {2, 100, 0}, {{"a", 1}, {"b", 2}, {"c", 3}}, "ab"},
      {SERVER, {-1, 100, 0}, {{"a", 1}, {"", 2, SERVER, 1}, {"b", 3}, {"", 4}, {"c", 5}}, "ab"},
      {SERVER, {-1, 100, 100}, repeated(100, "d", 1, 1), std::string(NET_REPLY_MAX_DATAGRAMS, 'd')},
      {SERVER,
       {-1, 100, 100},
       repeated(40, std::string(2000, 'b'), 1, 1),
       std::string(NET_REPLY_MAX_BYTES, 'b')},
      // The reply ends 5 s after its first datagram, however often the server sends.
      {SERVER, {-1, 100, 1000}, repeated(20, "t", 10, 900), std::string(6, 't')},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    std::vector<std::string> bytes;  // reserved: the datagrams view its strings
    bytes.reserve(cases[i].datagrams.size());
    std::vector<ts_net_datagram> received;
    for (const Datagram& datagram : cases[i].datagrams) {
      bytes.push_back(datagram.text.empty() ? "" : PRINT + datagram.text);
      received.push_back({datagram.ip, datagram.port, bytes.back(), datagram.at});
    }
    const ts_net_server server{cases[i].server_ip, PORT, {0xC0000201}};
    EXPECT_EQ(r_dravnet_assemble_reply(received, server, cases[i].collect), cases[i].reply) << i;
  }
}

rlimit saved_descriptor_limit{};

TEST(NetFatal, SocketErrorsAreFatalWithTheirMessage) {
  const int base = drav_test::free_udp_port_range(NET_SLOT_SOCKETS + 1);
  ASSERT_NE(base, 0);
  const ts_config config = make_config(27910, base);
  const auto next_descriptor = [] {
    const int next = ::dup(0);
    ::close(next);
    return next;
  };
  // Every descriptor after the next `spare` fails to open until exit, when the exit handlers
  // need them again.
  const auto exhaust_descriptors = [&](int spare) {
    ::getrlimit(RLIMIT_NOFILE, &saved_descriptor_limit);
    std::atexit([] { ::setrlimit(RLIMIT_NOFILE, &saved_descriptor_limit); });
    rlimit limit = saved_descriptor_limit;
    limit.rlim_cur = static_cast<rlim_t>(next_descriptor() + spare);
    ::setrlimit(RLIMIT_NOFILE, &limit);
  };
  // Starts the transport while port `taken` is held by another program.
  const auto taken_port = [&](int taken) {
    return [&, taken] {
      const drav_sim::SimServer other{"other", static_cast<std::uint16_t>(taken)};
      r_dravnet_init(config);
    };
  };
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { exhaust_descriptors(0), r_dravnet_init(config); }, "Unable to create socket"},
      // Every slot socket opens at the start: the fifth one's failure stops it.
      {[&] { exhaust_descriptors(5), r_dravnet_init(config); }, "Unable to create socket"},
      // Closing a slot socket behind the transport's back makes its own close fail: the main
      // socket opens first, then slots 0, 1, ...
      {[&] {
         const int slot_9 = next_descriptor() + 10;
         r_dravnet_init(config);
         ::close(slot_9);
         r_dravnet_finish();
       },
       "Unable to close socket"},
      {taken_port(base), "Unable to bind local settings to socket (UDP port " +
                             std::to_string(base) + ": Address already in use)"},
      // Every slot socket binds at the start, so a taken port stops the start.
      {taken_port(base + 6), "Unable to bind local settings to socket (UDP port " +
                                 std::to_string(base + 6) + ": Address already in use)"},
      // A server on this machine keeps its port: the range may not hold it. 0.0.0.0 is this
      // machine too.
      {[&] {
         ts_config any_local =
             make_config(static_cast<std::uint16_t>(base + NET_SLOT_SOCKETS), base);
         any_local.net_server_ip = 0;
         r_dravnet_init(any_local);
       },
       "net_client_port " + std::to_string(base) + " takes the UDP ports " + std::to_string(base) +
           " to " + std::to_string(base + NET_SLOT_SOCKETS) +
           ", which hold the game server's port " + std::to_string(base + NET_SLOT_SOCKETS) +
           " on this machine"},
  };
  r_dravlog_init_first();
  for (const auto& [body, message] : cases)
    drav_test::expect_fatal(body, "drav_net", message);
  // The port just after the range is the server's own to keep, and a server elsewhere keeps
  // its port on its own machine. Nothing is sent before a request.
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        r_dravnet_init(make_config(static_cast<std::uint16_t>(base + NET_SLOT_SOCKETS + 1), base));
        r_dravnet_finish();
        ts_config elsewhere = make_config(static_cast<std::uint16_t>(base), base);
        elsewhere.net_server_ip = 0xC0000201;  // 192.0.2.1
        r_dravnet_init(elsewhere);
        std::exit(3);
      },
      ::testing::ExitedWithCode(3), "");
}

}  // namespace
