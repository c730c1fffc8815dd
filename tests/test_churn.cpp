// A busy server over a rough link for a few hundred polls: players join, leave, rename (some
// faster than a poll), come back at once, change slots between the requests of a poll, get
// kicked and banned. Every event, history entry and kick is checked against what the server
// really held during the poll: the tracker may learn late, never wrongly.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <random>
#include <set>

#include "drav_stats.h"
#include "drav_stats_event.h"
#include "stats_support.h"

namespace {

using namespace drav_test;
using drav_sim::Player;
constexpr int SLOTS = 32, POLLS = 150;  // the simulated server's slots; polls in each layout
constexpr int SETTLE = 3;  // a join or leave that lasts this many polls is in the table
using Table = std::vector<std::optional<Player>>;
using Who = std::pair<std::string, int>;  // address and qport
constexpr const char* NAMES[] = {"Red", "Blue", "\x01Gre\x02en", "Ninja", "Camper", "Sniper"};

struct Churn {
  // Now and then the same datagram of every status reply is lost: the lines in it never arrive.
  static bool lossy(int poll) { return poll % 15 == 7; }
  static Who who(const Player& p) { return {p.ip, p.qport}; }
  static Who who(const ts_status_line& l) {
    return {r_dravip_ip_to_text(l.ts_address.ip).c_str(), l.i_qport};
  }
  static bool live(const std::optional<Player>& p) { return p && !p->zombie; }
  static std::string clean(std::string name) {  // log lines drop control characters
    std::erase_if(name, [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    return name;
  }
  // Whether `t` holds a slot's player: in that slot (the port may change there) or another one.
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
  std::set<std::pair<std::string, std::string>> recorded;  // address and name logged or written
  int next_qport = 1000;

  int random(int below) { return std::uniform_int_distribution<int>(0, below - 1)(rng); }
  std::string random_name() { return NAMES[random(6)] + std::to_string(random(50)); }
  Player fresh() {  // now and then on a blocked address, or a second one on a banned address
    const int kind = random(10), host = random(60);
    Player p = player(random_name(), "198.51.100." + std::to_string(host), next_qport++);
    p.ip = kind == 0 ? "203.0.113." + std::to_string(1 + host % 15) : p.ip;
    p.ip = kind == 1 && !banned.empty() ? *banned.begin() : p.ip;
    p.port = 27901 + host % 3;
    return p;
  }

  // One random change; `mid_poll` spares marked players, whose kick may be on its way.
  void mutate(bool mid_poll) {
    const Table t = bench.server.players();
    std::vector<int> empty, here;
    for (int i = 0; i < SLOTS; ++i)
      (live(t[i]) ? here : empty).push_back(i);
    const int kind = random(7), to = empty.empty() ? -1 : empty[random(std::ssize(empty))];
    const int at = here.empty() ? -1 : here[random(std::ssize(here))];
    if (kind <= 1 && to >= 0 && std::ssize(here) < 28) {
      const Player p = kind == 0 || gone.empty() ? fresh() : gone[random(std::ssize(gone))];
      if (std::ranges::none_of(here, [&](int i) { return who(*t[i]) == who(p); }))
        bench.server.set_player(to, p);
    } else if (at >= 0 && !(mid_poll && kickable.contains(who(*t[at])))) {
      Player p = *t[at];  // leaves, renames, moves, or sends from a new port after a router's
      p.name = kind >= 3 && kind <= 4 ? random_name() : p.name;
      p.port += kind == 6 ? 1 : 0;
      bench.server.remove_player(at);
      kind == 2 ? gone.push_back(p) : bench.server.set_player(kind == 5 && to >= 0 ? to : at, p);
    }
    seen.push_back(bench.server.players());
  }

  // What the screen does: a kick or a ban of the selected player, or a ban from the IP list,
  // which kicks every player of the address.
  void operate() {
    const int kind = random(5);
    ts_client& c = bench.status.ats_client[random(SLOTS)];
    if (c.b_active != 1 || c.i_kick_reason != KICK_NONE || random(100) >= 8)
      return;
    const std::uint64_t ip = c.ts_line.ts_address.ip;
    for (const ts_client& other : bench.status.ats_client)
      if (&other == &c || (kind == 4 && other.b_active == 1 && other.ts_line.ts_address.ip == ip))
        kickable.insert(who(other.ts_line));
    if (kind >= 3)
      banned.insert(r_dravip_ip_to_text(ip).c_str());
    kind < 3    ? r_dravstats_admin_kick(c)
    : kind == 3 ? r_dravstats_admin_ban(bench.status, c)
                : r_dravstats_admin_ban_ip(bench.status, ip);
  }

  // Held at some moment of the poll in `slot` (-1: any) under `name`, colour codes aside.
  bool held(const std::string& ip, const std::string& name, int slot) {
    for (const Table& t : seen)
      for (int i = 0; i < SLOTS; ++i)
        if ((slot < 0 || i == slot) && live(t[i]) && t[i]->ip == ip &&
            clean(t[i]->name) == clean(name))
          return true;
    return false;
  }

  // Each line names whom the server held in that slot during the poll, a departure one it did
  // not hold at some moment; a block an address of the access list or of a ban. History lines
  // ("date address name\hosts") and kicks name only who was there (and marked).
  void check(const Lines& log, const std::array<ts_client, MAX_CLIENTS>& before,
             std::size_t written, std::size_t kicked) {
    for (const std::string& line : log) {
      const std::string label = line.substr(7, 10), ip = line.substr(21, line.find(' ', 21) - 21);
      const int slot = std::stoi(line.substr(18, 2));
      const std::string name = line.substr(37, line.size() - 38);
      const auto departed = [&](const Table& t) { return !holds(t, before[slot].ts_line, slot); };
      EXPECT_TRUE(label == "Disconnect" ? std::ranges::any_of(seen, departed)
                                        : held(ip, name, slot))
          << "invented: " << line;
      const Who id = who(bench.status.ats_client[slot].ts_line);
      const bool listed = ip.starts_with("203.0.113.") && std::stoi(ip.substr(10)) < 16;
      if (label == "Block     " || label == "Reject    ") {  // a kick follows
        EXPECT_TRUE(label == "Block     " ? listed || banned.contains(ip) : kickable.contains(id))
            << line;
        kickable.insert(id);
      }
      recorded.insert({ip, name});
    }
    const std::string history = bench.history();
    for (std::size_t at = written; at < history.size(); at = history.find('\n', at) + 1) {
      const std::string ip = history.substr(at + 9, history.find(' ', at + 9) - at - 9);
      const std::string name = history.substr(at + 25, history.find('\\', at) - at - 25);
      EXPECT_TRUE(held(ip, name, -1)) << "invented: " << history.substr(at, 60);
      recorded.insert({ip, clean(name)});
    }
    const std::vector<drav_sim::Kick> kicks = bench.server.kicks();
    for (std::size_t i = kicked; i < kicks.size(); ++i) {
      EXPECT_TRUE(kickable.contains(who(kicks[i].player))) << "kicked " << kicks[i].slot;
      gone.push_back(kicks[i].player);
    }
  }

  // Whoever stayed in one slot under one name through the last polls is in the table so, and
  // whoever was nowhere through them is not. A name held in one slot through two whole polls
  // (neither losing its line) is logged or written by the end of the next: a name that lasts
  // one poll can be lost with a single datagram, its line's or its details', and the tracker
  // takes no line its details did not confirm.
  void check_settled(const std::vector<std::vector<Table>>& polls, int oldest) {
    for (int i = 0; i < SLOTS; ++i) {
      const std::optional<Player>&p = polls.back().back()[i], &early = polls.front().front()[i];
      const ts_client& c = bench.status.ats_client[i];
      bool stayed = live(p), somewhere = c.b_active != 1;
      bool whole = live(early) && !lossy(oldest) && !lossy(oldest + 1);
      for (const auto& poll : polls)
        for (const Table& t : poll) {
          stayed = stayed && live(t[i]) && who(*t[i]) == who(*p) && t[i]->name == p->name;
          somewhere = somewhere || holds(t, c.ts_line, i);
          whole = whole && (&poll == &polls.back() ||
                            (live(t[i]) && who(*t[i]) == who(*early) && t[i]->name == early->name));
        }
      EXPECT_TRUE(!stayed ||
                  (c.b_active == 1 && c.ts_line.ac_name == p->name && who(c.ts_line) == who(*p)))
          << "missed: " << p->name << " in slot " << i;
      EXPECT_TRUE(somewhere) << "missed the departure from slot " << i;
      EXPECT_TRUE(!whole || recorded.contains({early->ip, clean(early->name)}))
          << "missed the name " << early->name << " in slot " << i;
    }
  }

  void run(drav_sim::Layout layout) {
    bench.server.set_layout(layout);
    bench.server.set_zombie_seconds(0);
    for (int slot = 0; slot < 24; ++slot)
      bench.server.set_player(slot, fresh());
    bench.server.set_reply_override([&](const std::string& command) -> std::optional<Lines> {
      const std::lock_guard lock(mutex);
      if (!command.starts_with("kick") && random(100) < 6)
        mutate(true);  // between two requests of one poll
      return std::nullopt;
    });
    std::vector<std::vector<Table>> polls;
    for (int poll = 0; poll < POLLS && !testing::Test::HasFailure(); ++poll) {
      SCOPED_TRACE("poll " + std::to_string(poll));
      std::unique_lock lock(mutex);
      seen = {bench.server.players()};
      for (int n = random(3); n > 0; --n)
        mutate(false);
      operate();
      // One poll in three goes over a clean link: a line that three damaged replies in a row
      // lost cannot be known, however the tracker asks.
      const int rough = poll % 3 == 2 ? 0 : 3;
      drav_sim::Faults link = {
          .lose_percent = rough, .double_percent = rough, .reorder_percent = rough};
      if (lossy(poll))
        link = {.drop_datagram = 1, .only_command = "status"};
      link.split_anywhere = true;  // where the server's buffer fills
      link.link_seed = static_cast<std::uint32_t>(poll);
      bench.server.set_faults(link);
      const auto before = bench.status.ats_client;
      const std::size_t written = bench.history().size(), kicked = bench.server.kicks().size();
      lock.unlock();
      Lines log = bench.poll().second;
      std::erase_if(log, [](const std::string& line) {  // the operator's own acts aside
        return !line.starts_with("Client ") || line.starts_with("Client Admin");
      });
      lock.lock();
      seen.push_back(bench.server.players());
      check(log, before, written, kicked);
      polls.push_back(seen);
      if (std::ssize(polls) > SETTLE)
        polls.erase(polls.begin()), check_settled(polls, poll - SETTLE + 1);
    }
  }
};

TEST(StatsChurn, OverARoughLinkEveryEventHistoryEntryAndKickIsTrue) {
  for (const drav_sim::Layout layout :
       {drav_sim::Layout::TITLED, drav_sim::Layout::PLAIN, drav_sim::Layout::BRACKETED}) {
    SCOPED_TRACE("layout " + std::to_string(static_cast<int>(layout)));
    Churn().run(layout);
  }
}

}  // namespace
