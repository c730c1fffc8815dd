// The simulated game server seen from the network: password check, reply layouts, splitting
// of the output into datagrams, kicks, and the sim-server program.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "sim_server.h"
#include "support.h"

using namespace std::chrono_literals;

namespace {

const std::string PRINT = "\xFF\xFF\xFF\xFFprint\n";

std::string rcon(const std::string& password, const std::string& command) {
  return "\xFF\xFF\xFF\xFFrcon " + password + " " + command + std::string(1, '\0');
}

// The text of a reply: its datagrams without their "print" headers.
std::string text_of(const std::vector<std::string>& datagrams) {
  std::string text;
  for (const std::string& datagram : datagrams) {
    text += datagram.substr(PRINT.size());
  }
  return text;
}

// A plain UDP client on 127.0.0.1 that sees every datagram as it arrives.
class RawClient {
 public:
  RawClient() = default;
  ~RawClient() { ::close(descriptor_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // Sends `datagram` to `port`; returns what arrives until 150 ms pass silently.
  std::vector<std::string> ask(std::uint16_t port, const std::string& datagram) {
    sockaddr_in server{.sin_family = AF_INET,
                       .sin_port = htons(port),
                       .sin_addr = {htonl(INADDR_LOOPBACK)},
                       .sin_zero = {}};
    ::sendto(descriptor_, datagram.data(), datagram.size(), 0,
             reinterpret_cast<const sockaddr*>(&server), sizeof server);
    std::vector<std::string> replies;
    std::string buffer(65536, '\0');
    for (pollfd watched{descriptor_, POLLIN, 0}; ::poll(&watched, 1, 150) > 0;) {
      const ssize_t size = ::recv(descriptor_, buffer.data(), buffer.size(), 0);
      replies.emplace_back(buffer, 0, static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
    }
    return replies;
  }

  std::uint16_t local_port() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(descriptor_, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
  }

 private:
  const int descriptor_ = ::socket(AF_INET, SOCK_DGRAM, 0);
};

class SimServerTest : public ::testing::Test {
 protected:
  std::vector<std::string> ask(const std::string& command, const std::string& password = "Secret") {
    return client_.ask(server_.port(), rcon(password, command));
  }

  drav_sim::SimServer server_{"Secret"};
  RawClient client_;
};

TEST_F(SimServerTest, ChecksThePasswordCaseSensitively) {
  for (const auto& [password, accepted] : std::vector<std::pair<std::string, bool>>{
           {"Secret", true}, {"secret", false}, {"", false}, {"Secret2", false}}) {
    server_.clear_commands();
    EXPECT_EQ(ask("say hi", password),
              std::vector<std::string>{accepted ? PRINT : PRINT + "Bad rcon_password.\n"});
    const std::vector<drav_sim::ReceivedCommand> received = server_.commands();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].password_ok, accepted);
    EXPECT_EQ(received[0].command, "say hi");
    EXPECT_EQ(received[0].source_port, client_.local_port());
  }
  // Datagrams that are no remote console command get no answer and are not kept.
  server_.clear_commands();
  EXPECT_TRUE(client_.ask(server_.port(), "rcon Secret status").empty());
  EXPECT_TRUE(client_.ask(server_.port(), "\xFF\xFF\xFF\xFFstatus").empty());
  EXPECT_TRUE(server_.commands().empty());
}

TEST_F(SimServerTest, AnswersEachCommandInItsLayout) {
  const drav_sim::Player ace{.name = "Ace",
                             .ip = "192.0.2.7",
                             .port = 27910,
                             .qport = 431,
                             .score = 12,
                             .ping = 48,
                             .lastmsg = 17,
                             .userinfo = {{"skin", "female/athena"}, {"spectator_password", "x"}}};
  drav_sim::Player slow{.name = "\x03Long\x8dName_Over16",
                        .ip = "198.51.100.250",
                        .port = 65535,
                        .qport = 65535,
                        .score = -3,
                        .ping = 12000,
                        .connecting = true,
                        .userinfo = {}};
  drav_sim::Player lagging = ace;
  lagging.name = "Lag";
  lagging.ip = "loopback";
  lagging.ping = 12000;
  server_.set_player(0, ace);
  server_.set_player(3, slow);
  server_.set_player(4, lagging);
  server_.set_player(31, ace);
  server_.kick_player(31);
  server_.set_map("dm_tower", "ctf");
  server_.set_serverinfo({{"mapname", "dm_tower"}, {"a_very_long_setting_key", "1"}});
  const std::pair<std::string, std::string> cases[] = {
      {"status",
       "Map              : dm_tower\n"
       "Gametype         : ctf\n"
       "\n"
       "num score ping name            lastmsg address               qport \n"
       "--- ----- ---- --------------- ------- --------------------- ------\n"
       "  0    12   48 Ace                  17 192.0.2.7:27910         431\n"
       "  3    -3 CNCT \x03Long\x8dName_Over16      0 198.51.100.250:65535  65535\n"
       "  4    12 9999 Lag                  17 loopback                431\n"
       " 31    12 ZMBI                      17 192.0.2.7:27910         431\n"
       "\n"},
      {"dumpuser 0",
       "userinfo\n--------\nname                Ace\nip                  192.0.2.7:27910\n"
       "skin                female/athena\nspectator_password  x\n"},
      {"dumpuser 2", "Client 2 is not active\n"},
      {"dumpuser 32", "Bad client slot: 32\n"},
      {"dumpuser", "Usage: dumpuser <userid>\n"},
      {"serverinfo",
       "\nServer info settings:\nmapname             dm_tower\na_very_long_setting_key1\n"},
      {"say \"hello all\"", ""},
      {"frobnicate 3", "Unknown command \"frobnicate\"\n"},
  };
  for (const auto& [command, text] : cases) {
    EXPECT_EQ(server_.execute(command), std::vector<std::string>{PRINT + text}) << command;
  }
}

TEST_F(SimServerTest, SplitsOutputBetweenPrintsIntoDatagramsOfAtMost1383Bytes) {
  server_.set_map("canyon_ridge", "deathmatch");
  for (const auto& [name_length, datagrams] :
       std::vector<std::pair<std::size_t, std::size_t>>{{15, 2}, {28, 2}, {29, 3}, {31, 3}}) {
    for (int slot = 0; slot < drav_sim::SIM_MAX_CLIENTS; ++slot) {
      server_.set_player(slot,
                         {.name = std::string(name_length, static_cast<char>('a' + slot % 26)),
                          .ip = "203.0.113." + std::to_string(slot + 1),
                          .userinfo = {}});
    }
    const std::vector<std::string> replies = ask("status");
    ASSERT_EQ(replies.size(), datagrams) << name_length;
    for (const std::string& datagram : replies) {
      EXPECT_EQ(datagram.substr(0, PRINT.size()), PRINT);
      EXPECT_LE(datagram.size() - PRINT.size(), 1383u);
    }
    // A datagram ends where the next print no longer fits, often in the middle of a line.
    EXPECT_GE(replies[0].size() - PRINT.size(), 1383u - 31u);
    EXPECT_NE(replies[0].back(), '\n');
    const std::string text = text_of(replies);
    const std::size_t header = 19 + 13 + 19 + 11 + 1 + 68 + 68;
    EXPECT_EQ(text.size(), header + 32 * (51 + std::max<std::size_t>(name_length, 16)) + 1);
    EXPECT_EQ(text.substr(text.size() - 2), "\n\n");
  }

  // A single print longer than the buffer goes out in pieces.
  const std::string hostname(3000, 'h');
  server_.set_serverinfo({{"hostname", hostname}});
  const std::vector<std::string> replies = ask("serverinfo");
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(text_of(replies), "\nServer info settings:\nhostname            " + hostname + "\n");
}

TEST_F(SimServerTest, KickLeavesAZombieThatFreesTheSlot) {
  const auto run = [&](const std::string& command) { return text_of(server_.execute(command)); };
  server_.set_zombie_seconds(1.0);
  server_.fill_players(3);
  EXPECT_EQ(run("kick 1"), "Player01 was kicked\n");
  const auto kicked = std::chrono::steady_clock::now();
  const std::string status = run("status");
  EXPECT_NE(status.find("\n  1     1 ZMBI                       1 198.51.100.2:27902     1007\n"),
            std::string::npos)
      << status;
  // Kicking the zombie again does not keep it longer.
  std::this_thread::sleep_until(kicked + 500ms);
  EXPECT_EQ(run("kick 1"), " was kicked\n");
  std::this_thread::sleep_until(kicked + 1250ms);
  EXPECT_FALSE(server_.player(1).has_value());
  EXPECT_EQ(run("status").find("\n  1 "), std::string::npos);
  EXPECT_EQ(run("kick 1"), "Client 1 is not active\n");
  EXPECT_EQ(run("kick 2"), "Player02 was kicked\n");
}

TEST(SimServerProgramTest, OptionsAndLifecycle) {
  const std::string binary = SIM_SERVER_BINARY;
  const drav_test::TempDir dir;
  {
    drav_test::ChildProcess help({binary, "--help"}, dir.path().string());
    ASSERT_TRUE(help.wait(10000));
    EXPECT_EQ(help.exit_status(), 0);
    for (const char* option :
         {"--port", "--password", "--players", "--scenario demo", "--zombie-seconds", "--help"}) {
      EXPECT_NE(help.stdout_text().find(option), std::string::npos) << option;
    }
  }
  for (const char* bad : {"", " --port 1", " --port x --password p", " --password p --port 70000",
                          " --port 1 --password p --scenario calm", " --port 1 --password p -v"}) {
    const int status = std::system((binary + bad + " >/dev/null 2>&1").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << bad;
  }

  drav_test::ChildProcess server({binary, "--port", "0", "--password", "pw", "--players", "5"},
                                 dir.path().string());
  unsigned port = 0;
  for (int wait = 0; wait < 200 && port == 0; ++wait) {
    std::this_thread::sleep_for(50ms);
    std::sscanf(server.stdout_text().c_str(), "sim-server listening on 127.0.0.1:%u", &port);
  }
  ASSERT_NE(port, 0u) << server.stderr_text();
  const std::string status =
      text_of(RawClient().ask(static_cast<std::uint16_t>(port), rcon("pw", "status")));
  EXPECT_NE(status.find("\n  4     4   24 Player04"), std::string::npos) << status;
  EXPECT_EQ(status.find("\n  5 "), std::string::npos);
  server.signal(SIGTERM);
  ASSERT_TRUE(server.wait(10000));
  EXPECT_EQ(server.exit_status(), 0);
}

}  // namespace
