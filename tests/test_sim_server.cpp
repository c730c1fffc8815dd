// The simulated game server seen from the network: password check, reply layouts, splitting
// of the output into datagrams, kicks, and the sim-server program.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "sim_server.h"

using namespace std::chrono_literals;

namespace {

const std::string kPrint = "\xFF\xFF\xFF\xFFprint\n";

std::string rcon(const std::string& password, const std::string& command) {
  return "\xFF\xFF\xFF\xFFrcon " + password + " " + command + std::string(1, '\0');
}

/// A plain UDP client on 127.0.0.1 that sees every datagram as it arrives.
class RawClient {
 public:
  RawClient() : descriptor_(::socket(AF_INET, SOCK_DGRAM, 0)) {}
  ~RawClient() { ::close(descriptor_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  /// Sends `datagram` to the server and returns what arrives until `quiet_ms` pass silently.
  /// Stops early once `expected` datagrams arrived.
  std::vector<std::string> ask(std::uint16_t port, const std::string& datagram, int quiet_ms = 150,
                               std::size_t expected = 0) {
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(port);
    ::sendto(descriptor_, datagram.data(), datagram.size(), 0,
             reinterpret_cast<const sockaddr*>(&server), sizeof server);
    std::vector<std::string> replies;
    pollfd watched{descriptor_, POLLIN, 0};
    while ((expected == 0 || replies.size() < expected) && ::poll(&watched, 1, quiet_ms) > 0) {
      std::string buffer(65536, '\0');
      const ssize_t size = ::recv(descriptor_, buffer.data(), buffer.size(), 0);
      if (size < 0) {
        break;
      }
      buffer.resize(static_cast<std::size_t>(size));
      replies.push_back(buffer);
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
  int descriptor_;
};

std::string joined_text(const std::vector<std::string>& datagrams) {
  std::string text;
  for (const std::string& datagram : datagrams) {
    text += datagram.substr(kPrint.size());
  }
  return text;
}

class SimServerTest : public ::testing::Test {
 protected:
  std::vector<std::string> ask(const std::string& command, const std::string& password = "Secret") {
    return client_.ask(server_.port(), rcon(password, command));
  }
  /// The text of a reply known to be one datagram, without waiting for more.
  std::string ask_one(const std::string& command) {
    return joined_text(client_.ask(server_.port(), rcon("Secret", command), 2000, 1));
  }

  drav_sim::SimServer server_{"Secret"};
  RawClient client_;
};

TEST_F(SimServerTest, ChecksThePasswordCaseSensitively) {
  const struct {
    std::string password;
    bool accepted;
  } cases[] = {{"Secret", true}, {"secret", false}, {"", false}, {"Secret2", false}};
  for (const auto& test : cases) {
    server_.clear_commands();
    const std::vector<std::string> replies = ask("say hi", test.password);
    ASSERT_EQ(replies.size(), 1u) << test.password;
    EXPECT_EQ(replies[0], test.accepted ? kPrint : kPrint + "Bad rcon_password.\n");
    const std::vector<drav_sim::ReceivedCommand> received = server_.commands();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].password_ok, test.accepted);
    EXPECT_EQ(received[0].command, "say hi");
    EXPECT_EQ(received[0].source_port, client_.local_port());
  }
  // Datagrams that are no remote console command get no answer and are not kept.
  server_.clear_commands();
  for (const std::string& datagram :
       {std::string("rcon Secret status"), std::string("\xFF\xFF\xFF\xFFstatus")}) {
    EXPECT_TRUE(client_.ask(server_.port(), datagram).empty());
  }
  EXPECT_TRUE(server_.commands().empty());
}

TEST_F(SimServerTest, StatusListsEveryKindOfSlot) {
  server_.set_map("dm_tower", "ctf");
  drav_sim::Player active{.name = "Ace",
                          .ip = "192.0.2.7",
                          .port = 27910,
                          .qport = 431,
                          .score = 12,
                          .ping = 48,
                          .lastmsg = 17,
                          .userinfo = {}};
  drav_sim::Player slow{.name = "\x03Long\x8dName_Over16",
                        .ip = "198.51.100.250",
                        .port = 65535,
                        .qport = 65535,
                        .score = -3,
                        .ping = 12000,
                        .connecting = true,
                        .userinfo = {}};
  drav_sim::Player lagging = active;
  lagging.name = "Lag";
  lagging.ip = "loopback";
  lagging.ping = 12000;
  server_.set_player(0, active);
  server_.set_player(3, slow);
  server_.set_player(4, lagging);
  server_.set_player(31, active);
  server_.kick_player(31);
  const std::vector<std::string> replies = ask("status");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0],
            kPrint +
                "Map              : dm_tower\n"
                "Gametype         : ctf\n"
                "\n"
                "num score ping name            lastmsg address               qport \n"
                "--- ----- ---- --------------- ------- --------------------- ------\n"
                "  0    12   48 Ace                  17 192.0.2.7:27910         431\n"
                "  3    -3 CNCT \x03Long\x8dName_Over16      0 198.51.100.250:65535  65535\n"
                "  4    12 9999 Lag                  17 loopback                431\n"
                " 31    12 ZMBI                      17 192.0.2.7:27910         431\n"
                "\n");
}

TEST_F(SimServerTest, SplitsOutputBetweenPrintsIntoDatagramsOfAtMost1383Bytes) {
  const struct {
    std::size_t name_length;
    std::size_t datagrams;
  } cases[] = {{15, 2}, {28, 2}, {29, 3}, {31, 3}};
  server_.set_map("canyon_ridge", "deathmatch");
  for (const auto& test : cases) {
    for (int slot = 0; slot < drav_sim::SIM_MAX_CLIENTS; ++slot) {
      drav_sim::Player player;
      player.name = std::string(test.name_length, static_cast<char>('a' + slot % 26));
      player.ip = "203.0.113." + std::to_string(slot + 1);
      server_.set_player(slot, player);
    }
    const std::vector<std::string> replies = ask("status");
    ASSERT_EQ(replies.size(), test.datagrams) << test.name_length;
    for (const std::string& datagram : replies) {
      EXPECT_EQ(datagram.substr(0, kPrint.size()), kPrint);
      EXPECT_LE(datagram.size() - kPrint.size(), 1383u);
    }
    // A datagram ends where the next print no longer fits, often in the middle of a line.
    EXPECT_GE(replies[0].size() - kPrint.size(), 1383u - 31u);
    const std::string text = joined_text(replies);
    const std::size_t header = 19 + 13 + 19 + 11 + 1 + 68 + 68;
    const std::size_t line_length = 51 + std::max<std::size_t>(test.name_length, 16);
    EXPECT_EQ(text.size(), header + 32 * line_length + 1);
    EXPECT_EQ(text.substr(text.size() - 2), "\n\n");
  }
  EXPECT_NE(ask("status")[0].back(), '\n');

  // A single print longer than the buffer goes out in pieces.
  const std::string hostname(3000, 'h');
  server_.set_serverinfo({{"hostname", hostname}});
  const std::vector<std::string> replies = ask("serverinfo");
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(joined_text(replies),
            "\nServer info settings:\nhostname            " + hostname + "\n");
}

TEST_F(SimServerTest, KickLeavesAZombieThatFreesTheSlot) {
  server_.set_zombie_seconds(1.0);
  server_.fill_players(3);
  EXPECT_EQ(ask_one("kick 1"), "Player01 was kicked\n");
  const auto kicked = std::chrono::steady_clock::now();
  const std::string status = ask_one("status");
  EXPECT_NE(status.find("\n  1     1 ZMBI                       1 198.51.100.2:27902     1007\n"),
            std::string::npos)
      << status;
  ASSERT_TRUE(server_.player(1).has_value());
  EXPECT_TRUE(server_.player(1)->zombie);
  EXPECT_EQ(server_.player(1)->name, "");
  // Kicking the zombie again does not keep it longer.
  std::this_thread::sleep_until(kicked + 500ms);
  EXPECT_EQ(ask_one("kick 1"), " was kicked\n");
  std::this_thread::sleep_until(kicked + 1250ms);
  EXPECT_FALSE(server_.player(1).has_value());
  EXPECT_EQ(ask_one("status").find("\n  1 "), std::string::npos);
  EXPECT_EQ(ask_one("kick 1"), "Client 1 is not active\n");
  EXPECT_EQ(ask_one("kick 2"), "Player02 was kicked\n");
}

TEST_F(SimServerTest, AnswersTheOtherCommands) {
  drav_sim::Player player{.name = "Ace",
                          .ip = "192.0.2.7",
                          .port = 27910,
                          .userinfo = {{"skin", "female/athena"}, {"spectator_password", "x"}}};
  server_.set_player(2, player);
  server_.set_serverinfo({{"mapname", "dm_tower"}, {"a_very_long_setting_key", "1"}});
  const struct {
    std::string command;
    std::string text;
  } cases[] = {
      {"dumpuser 2",
       "userinfo\n--------\nname                Ace\nip                  192.0.2.7:27910\n"
       "skin                female/athena\nspectator_password  x\n"},
      {"dumpuser 4", "Client 4 is not active\n"},
      {"dumpuser 32", "Bad client slot: 32\n"},
      {"dumpuser", "Usage: dumpuser <userid>\n"},
      {"serverinfo",
       "\nServer info settings:\nmapname             dm_tower\na_very_long_setting_key1\n"},
      {"say \"hello all\"", ""},
      {"frobnicate 3", "Unknown command \"frobnicate\"\n"},
  };
  for (const auto& test : cases) {
    const std::vector<std::string> replies = ask(test.command);
    ASSERT_EQ(replies.size(), 1u) << test.command;
    EXPECT_EQ(replies[0], kPrint + test.text) << test.command;
  }
}

TEST(SimServerProgramTest, OptionsAndLifecycle) {
  const std::string binary = SIM_SERVER_BINARY;
  FILE* help = ::popen((binary + " --help").c_str(), "r");
  ASSERT_NE(help, nullptr);
  std::string help_text(4096, '\0');
  help_text.resize(std::fread(help_text.data(), 1, help_text.size(), help));
  EXPECT_EQ(::pclose(help), 0);
  for (const char* option :
       {"--port", "--password", "--players", "--scenario demo", "--zombie-seconds", "--help"}) {
    EXPECT_NE(help_text.find(option), std::string::npos) << option;
  }
  for (const char* bad : {"", " --port 1", " --port x --password p", " --password p --port 70000",
                          " --port 1 --password p --scenario calm", " --port 1 --password p -v"}) {
    const int status = std::system((binary + bad + " >/dev/null 2>&1").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << bad;
  }

  int output[2];
  ASSERT_EQ(::pipe(output), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(output[1], STDOUT_FILENO);
    ::execl(binary.c_str(), binary.c_str(), "--port", "0", "--password", "pw", "--players", "5",
            static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  ::close(output[1]);
  FILE* lines = ::fdopen(output[0], "r");
  unsigned port = 0;
  ASSERT_EQ(std::fscanf(lines, "sim-server listening on 127.0.0.1:%u", &port), 1);
  RawClient client;
  const std::string status =
      joined_text(client.ask(static_cast<std::uint16_t>(port), rcon("pw", "status")));
  EXPECT_NE(status.find("\n  4     4   24 Player04"), std::string::npos) << status;
  EXPECT_EQ(status.find("\n  5 "), std::string::npos);
  ::kill(child, SIGTERM);
  int child_status = 0;
  ASSERT_EQ(::waitpid(child, &child_status, 0), child);
  EXPECT_TRUE(WIFEXITED(child_status) && WEXITSTATUS(child_status) == 0);
  std::fclose(lines);
}

}  // namespace
