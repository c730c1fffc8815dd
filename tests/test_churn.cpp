// A busy server over a rough link for a few hundred polls: players join, leave, rename (some
// faster than a poll), come back at once, change slots between the requests of a poll, get
// kicked and banned. Every logged event, history entry and kick is checked against what the
// simulated server really held during the poll: the tracker may learn late, never wrongly.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <random>
#include <ranges>
#include <set>
#include <sstream>

#include "drav_access.h"
#include "drav_listip.h"
#include "drav_stats.h"
#include "stats_support.h"

namespace {

using namespace drav_test;
using drav_sim::Player;
constexpr int SLOTS = 32;  // the simulated server's
using Table = std::array<std::optional<Player>, SLOTS>;
using Who = std::pair<std::string, int>;  // address and qport

constexpr int POLLS = 150;  // in each reply layout
constexpr int SETTLE = 3;   // a join, leave or name that lasts this many polls is in the table
constexpr const char* NAMES[] = {"Red", "Blue", "\x01Gre\x02en", "Ninja", "Camper", "Sniper"};

struct Churn {
  static Who who(const Player& p) { return {p.ip, p.qport}; }
  static bool live(const std::optional<Player>& p) { return p && !p->zombie; }
  static std::string ip_text(std::uint64_t ip) { return r_dravip_ip_to_text(ip).c_str(); }
  static Who who(const ts_status_line& l) { return {ip_text(l.ts_address.ip), l.i_qport}; }
  static std::string clean(std::string name) {  // log lines drop control characters
    std::erase_if(name, [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    return name;
  }
  // In its slot (the port may change there) or in another one.
  static bool holds(const Table& t, const ts_status_line& was, int slot) {
    for (int i = 0; i < SLOTS; ++i)
      if (live(t[i]) && who(*t[i]) == who(was) && (i == slot || t[i]->port == was.ts_address.port))
        return true;
    return false;
  }
  // Waits far beyond a loopback reply; one that runs out anyway is one more datagram lost.
  StatsBench bench{"0 203.0.113.0/28\n", [](ts_config& c) {
                     c.net_response_timeout_1 = 40, c.net_response_timeout_next = 10;
                   }};
  std::mutex mutex;  // the driver runs in the test's thread and between requests in the server's
  std::mt19937 rng{20261207};
  std::vector<Table> seen;       // the server's table at each moment of this poll
  std::vector<Player> gone;      // players who left, to come back
  std::set<Who> kickable;        // marked by the operator, or logged as blocked or rejected
  std::set<std::string> banned;  // addresses banned by the operator
  int next_qport = 1000;

  int random(int below) { return std::uniform_int_distribution<int>(0, below - 1)(rng); }
  std::string random_name() { return NAMES[random(6)] + std::to_string(random(50)); }
  bool blocked(const std::string& ip) {
    return banned.contains(ip) || (ip.starts_with("203.0.113.") && std::stoi(ip.substr(10)) < 16);
  }
  Table table() {
    Table t;
    for (int i = 0; i < SLOTS; ++i)
      t[i] = bench.server.player(i);
    return t;
  }
  Player fresh() {
    const int kind = random(10);  // a blocked address, a second player on a banned one
    Player p = player(random_name(), "198.51.100." + std::to_string(random(60)), next_qport++);
    p.ip = kind == 0 ? "203.0.113." + std::to_string(1 + random(15)) : p.ip;
    p.ip = kind == 1 && !banned.empty() ? *banned.begin() : p.ip;
    p.port = 27901 + random(3);
    return p;
  }

  // One random change; `mid_poll` spares marked players, whose kick may be on its way.
  void mutate(bool mid_poll) {
    const Table t = table();
    std::vector<int> empty, here;
    for (int i = 0; i < SLOTS; ++i)
      (live(t[i]) ? here : empty).push_back(i);
    const int kind = random(7), to = empty.empty() ? -1 : empty[random(std::ssize(empty))];
    const int at = here.empty() ? -1 : here[random(std::ssize(here))];
    if (at >= 0 && mid_poll && kickable.contains(who(*t[at])))
      return;
    if (kind <= 1 && to >= 0 && std::ssize(here) < 28) {
      const Player p = kind == 0 || gone.empty() ? fresh() : gone[random(std::ssize(gone))];
      if (std::ranges::none_of(here, [&](int i) { return who(*t[i]) == who(p); }))
        bench.server.set_player(to, p);
    } else if (kind == 2 && at >= 0) {
      gone.push_back(*t[at]);
      bench.server.remove_player(at);
    } else if (at >= 0) {  // renamed, moved, or a new port from the player's router
      Player p = *t[at];
      p.name = kind <= 4 ? random_name() : p.name;
      p.port += kind == 6 ? 1 : 0;
      bench.server.remove_player(at);
      bench.server.set_player(kind == 5 && to >= 0 ? to : at, p);
    }
    seen.push_back(table());
  }

  // What the screen does: a kick or a ban from the player table, or a ban from the IP list.
  void operate() {
    const int slot = random(SLOTS), kind = random(5);
    ts_client& c = bench.status.ats_client[slot];
    if (c.b_active != 1 || c.i_kick_reason != KICK_NONE || random(100) >= 8)
      return;
    const std::uint64_t ip = c.ts_line.ts_address.ip;
    c.i_kick_reason = kind < 3 ? KICK_ADMIN : KICK_ADMIN_BAN;
    kickable.insert(who(c.ts_line));
    if (kind < 3)
      return;
    r_dravaccess_block_ip(ip, nullptr, "banned");
    r_dravstats_forget_departed(bench.status, ip);
    banned.insert(ip_text(ip));
    for (ts_client& other : bench.status.ats_client)
      if (kind == 4 && other.b_active == 1 && other.ts_line.ts_address.ip == ip) {
        other.i_kick_reason = KICK_ADMIN_BAN;
        kickable.insert(who(other.ts_line));
      }
  }

  // Held in `slot` under the name as logged, or anywhere (-1) under the name itself.
  bool held(const std::string& ip, const std::string& name, int slot) {
    for (const Table& t : seen)
      for (int i = 0; i < SLOTS; ++i)
        if ((slot < 0 || i == slot) && live(t[i]) && t[i]->ip == ip &&
            (slot < 0 ? t[i]->name : clean(t[i]->name)) == name)
          return true;
    return false;
  }

  // Each line names whom the server held in that slot during the poll; a departure, a player
  // the server did not hold at some moment of it.
  void check_log(const Lines& log, const std::array<ts_client, MAX_CLIENTS>& before) {
    for (const std::string& line : log) {
      const std::string label = line.substr(7, 10), ip = line.substr(21, line.find(' ', 21) - 21);
      const int slot = std::stoi(line.substr(18, 2));
      if (label == "Disconnect") {
        EXPECT_TRUE(std::ranges::any_of(
            seen, [&](const Table& t) { return !holds(t, before[slot].ts_line, slot); }))
            << "invented: " << line;
        continue;
      }
      const Who id = who(bench.status.ats_client[slot].ts_line);
      EXPECT_TRUE(held(ip, line.substr(37, line.size() - 38), slot)) << "invented: " << line;
      EXPECT_TRUE(label != "Block     " || blocked(ip)) << line;
      EXPECT_TRUE(label != "Reject    " || kickable.contains(id)) << line;
      if (label == "Block     " || label == "Reject    ")
        kickable.insert(id);
    }
  }

  // The lines added to the history file ("date address name\\hosts") and the kicks name only
  // who was there (and marked).
  void check_history_and_kicks(std::size_t written, std::size_t kicked) {
    std::istringstream added(bench.history().substr(written));
    for (std::string line; std::getline(added, line);) {
      const std::string ip = line.substr(9, line.find(' ', 9) - 9);
      EXPECT_TRUE(held(ip, line.substr(25, line.find('\\') - 25), -1)) << "invented: " << line;
    }
    const std::vector<drav_sim::Kick> kicks = bench.server.kicks();
    for (std::size_t i = kicked; i < kicks.size(); ++i) {
      const drav_sim::Kick& kick = kicks[i];
      EXPECT_TRUE(kickable.contains(who(kick.player))) << "kicked " << kick.slot;
      gone.push_back(kick.player);
    }
  }

  // Whoever stayed in one slot under one name through the last polls is in the table so, and
  // whoever was nowhere through them is not.
  void check_settled(const std::deque<std::vector<Table>>& polls) {
    for (int i = 0; i < SLOTS; ++i) {
      const std::optional<Player>& p = polls.back().back()[i];
      const ts_client& c = bench.status.ats_client[i];
      bool stayed = live(p), somewhere = c.b_active != 1;
      for (const auto& poll : polls)
        for (const Table& t : poll) {
          stayed = stayed && live(t[i]) && who(*t[i]) == who(*p) && t[i]->name == p->name;
          somewhere = somewhere || holds(t, c.ts_line, i);
        }
      EXPECT_TRUE(!stayed ||
                  (c.b_active == 1 && c.ts_line.ac_name == p->name && who(c.ts_line) == who(*p)))
          << "missed: " << p->name << " in slot " << i;
      EXPECT_TRUE(somewhere) << "missed the departure from slot " << i;
    }
  }
};

void churn_in(drav_sim::Layout layout) {
  Churn churn;
  drav_sim::SimServer& server = churn.bench.server;
  server.set_layout(layout);
  server.set_zombie_seconds(0);
  for (int slot = 0; slot < 24; ++slot)
    server.set_player(slot, churn.fresh());
  server.set_reply_override([&](const std::string& command) -> std::optional<Lines> {
    const std::lock_guard lock(churn.mutex);
    if (!command.starts_with("kick") && churn.random(100) < 6)
      churn.mutate(true);  // between two requests of one poll
    return std::nullopt;
  });
  std::deque<std::vector<Table>> polls;
  for (int poll = 0; poll < POLLS && !testing::Test::HasFailure(); ++poll) {
    SCOPED_TRACE("poll " + std::to_string(poll));
    {
      const std::lock_guard lock(churn.mutex);
      churn.seen = {churn.table()};
      for (int n = churn.random(3); n > 0; --n)
        churn.mutate(false);
      churn.operate();
      drav_sim::Faults link = {.lose_percent = 3, .double_percent = 3, .reorder_percent = 3};
      if (poll % 15 == 7)  // now and then the same datagram of every status reply is lost
        link = {.drop_datagram = 1, .only_command = "status"};
      link.split_anywhere = true;
      link.link_seed = static_cast<std::uint32_t>(poll);
      server.set_faults(link);
    }
    const auto before = churn.bench.status.ats_client;
    const std::size_t written = churn.bench.history().size();
    const std::size_t kicked = server.kicks().size();
    Lines log = churn.bench.poll().second;
    std::erase_if(log, [](const std::string& line) { return !line.starts_with("Client "); });
    const std::lock_guard lock(churn.mutex);
    churn.seen.push_back(churn.table());
    churn.check_log(log, before);
    churn.check_history_and_kicks(written, kicked);
    polls.push_back(churn.seen);
    if (std::ssize(polls) > SETTLE) {
      polls.pop_front();
      churn.check_settled(polls);
    }
  }
}

TEST(StatsChurn, OverARoughLinkEveryEventHistoryEntryAndKickIsTrue) {
  for (const drav_sim::Layout layout :
       {drav_sim::Layout::TITLED, drav_sim::Layout::PLAIN, drav_sim::Layout::BRACKETED}) {
    SCOPED_TRACE("layout " + std::to_string(static_cast<int>(layout)));
    churn_in(layout);
  }
}

}  // namespace
