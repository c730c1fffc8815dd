// A busy server over a rough link: players join, leave, rename (some between the requests of
// one poll), come back at once, change slots and ports, get kicked and banned. Every event,
// history entry and kick is checked against the server's table at each moment of the poll.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <random>
#include <set>
#include <span>

#include "drav_stats_event.h"
#include "stats_support.h"

namespace {

using namespace drav_test;
using drav_sim::Player;
using Table = std::vector<std::optional<Player>>;
using Moments = std::span<const Table>;   // the server's table at each moment of some polls
using Who = std::pair<std::string, int>;  // address and qport
constexpr int SLOTS = 32, POLLS = 150;    // the simulated server's slots; polls in each layout
constexpr int SETTLE = 3;  // a join or leave that lasts this many polls is in the table
constexpr const char* NAMES[] = {"Red", "Blue", "\x01Gre\x02en", "Ninja", "Camper", "Sniper"};

struct Churn {
  // Now and then the same datagram of every status reply is lost: the lines in it never arrive.
  static bool lossy(int poll) { return poll % 15 == 7; }
  static bool live(const std::optional<Player>& p) { return p && !p->zombie; }
  static Who who(const Player& p) { return {p.ip, p.qport}; }
  static Who who(const ts_status_line& l) { return {text(l.ts_address.ip), l.i_qport}; }
  static std::string text(std::uint64_t ip) { return r_dravip_ip_to_text(ip).c_str(); }
  static std::string clean(std::string name) {  // log lines drop control characters
    std::erase_if(name, [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    return name;
  }
  static std::string upto(const std::string& s, std::size_t at, char end) {
    return s.substr(at, s.find(end, at) - at);
  }
  // How many of the moments have a live player for whom `f(slot, player)`.
  static std::size_t count(Moments moments, const auto& f) {
    return std::ranges::count_if(moments, [&](const Table& t) {
      for (int i = 0; i < SLOTS; ++i)
        if (live(t[i]) && f(i, *t[i]))
          return true;
      return false;
    });
  }
  // The player of a line: in its slot (the port may change there) or in another one.
  static auto as(const ts_status_line& line, int slot) {
    return [&line, slot](int i, const Player& p) {
      return who(p) == who(line) && (i == slot || p.port == line.ts_address.port);
    };
  }
  static bool same(const std::optional<Player>& a, const std::optional<Player>& b) {
    return live(a) && live(b) && who(*a) == who(*b) && a->name == b->name;
  }

  // Waits far beyond a loopback reply; one that runs out anyway is one more datagram lost.
  StatsBench bench{"0 203.0.113.0/28\n", [](ts_config& c) {
                     c.net_response_timeout_1 = 40, c.net_response_timeout_next = 10;
                   }};
  std::mutex mutex;  // the driver runs in the test's thread and between requests in the server's
  std::mt19937 rng{20261207};
  std::vector<Table> seen;                   // the server's table at each moment of the run
  std::vector<std::size_t> starts;           // where the moments of each poll begin
  std::array<ts_client, MAX_CLIENTS> known;  // the tracker's table before this poll
  std::size_t written = 0, kicked = 0;       // history bytes and kicks checked
  std::vector<Player> gone;                  // players who left, to come back
  std::set<Who> kickable;        // marked by the operator, or logged as blocked or rejected
  std::set<std::string> banned;  // addresses banned by the operator
  std::set<std::pair<std::string, std::string>> recorded;  // address and name logged or written
  int next_qport = 1000;

  int random(int below) { return std::uniform_int_distribution<int>(0, below - 1)(rng); }
  std::string random_name() { return NAMES[random(6)] + std::to_string(random(50)); }
  Moments polls(int from, int to) { return {&seen[starts[from]], &seen[starts[to + 1] - 1] + 1}; }

  // One random change; `mid_poll` spares marked players, whose kick may be on its way. A free
  // slot takes a newcomer (now and then on a listed or banned address) or one of the last two
  // to leave, mostly within the reconnect time. Moves go to the lowest free slot.
  void mutate(bool mid_poll) {
    const Table t = bench.server.players();
    const int at = random(SLOTS), kind = random(5), host = random(60), left = std::ssize(gone);
    const auto to = std::ranges::find_if(t, [](const auto& p) { return !live(p); }) - t.begin();
    if (!live(t[at])) {
      Player p = player(random_name(), "198.51.100." + std::to_string(host), next_qport++);
      if (host < 12)
        p.ip =
            host < 6 || banned.empty() ? "203.0.113." + std::to_string(host + 1) : *banned.begin();
      p.port = 27901 + host % 3;
      p = kind < 2 || left == 0 ? p : gone[left - 1 - random(std::min(left, 2))];
      if (std::ranges::none_of(t, [&](const auto& q) { return live(q) && who(*q) == who(p); }))
        bench.server.set_player(at, p);
    } else if (!mid_poll || !kickable.contains(who(*t[at]))) {
      Player p = *t[at];  // leaves, moves, sends from a new port after a router's restart, renames
      p.name = kind >= 3 ? random_name() : p.name;
      p.port += kind == 2 ? 1 : 0;
      bench.server.remove_player(at);
      kind == 0 ? gone.push_back(p)
                : bench.server.set_player(kind == 1 && to < SLOTS ? static_cast<int>(to) : at, p);
    }
    seen.push_back(bench.server.players());
  }

  // What the screen does: a kick or a ban of the selected player, or a ban of the address.
  void operate() {
    const int kind = random(5);
    ts_client& c = bench.status.ats_client[random(SLOTS)];
    if (c.b_active != 1 || c.i_kick_reason != KICK_NONE || random(100) >= 8)
      return;
    const std::uint64_t ip = c.ts_line.ts_address.ip;
    for (const ts_client& other : bench.status.ats_client)  // a ban of the address kicks them all
      if (&other == &c || (kind == 4 && other.b_active == 1 && other.ts_line.ts_address.ip == ip))
        kickable.insert(who(other.ts_line));
    if (kind >= 3)
      banned.insert(text(ip));
    kind < 3    ? r_dravstats_admin_kick(c)
    : kind == 3 ? r_dravstats_admin_ban(bench.status, c)
                : r_dravstats_admin_ban_ip(bench.status, ip);
  }

  // A log line names whom the server held in that slot during the poll, a departure one it did
  // not; a block (and never a reconnect) an address of the access list or a ban. History lines
  // ("date address name\hosts") and kicks name only who was there (and marked).
  void check(int poll, const Lines& log) {
    const Moments now = polls(poll, poll);
    const auto held = [&](const std::string& ip, const std::string& name, int slot) {
      return count(now, [&](int i, auto& p) {
               return (slot < 0 || i == slot) && p.ip == ip && clean(p.name) == clean(name);
             }) > 0;
    };
    for (const std::string& line : log) {
      if (!line.starts_with("Client ") || line.starts_with("Client Admin"))
        continue;  // the operator's own acts aside
      const std::string label = line.substr(7, 10), ip = upto(line, 21, ' ');
      const int slot = std::stoi(line.substr(18, 2));
      const Who id = who(bench.status.ats_client[slot].ts_line);
      const bool barred = ip.starts_with("203.0.113.") || banned.contains(ip);
      EXPECT_TRUE(label == "Disconnect" ? count(now, as(known[slot].ts_line, slot)) < now.size()
                                        : held(ip, upto(line, 37, '\n'), slot))
          << "invented: " << line;
      if (label == "Block     " || label == "Reject    ") {  // a kick follows
        EXPECT_TRUE(label == "Block     " ? barred : kickable.contains(id)) << line;
        kickable.insert(id);
      }
      EXPECT_FALSE(label == "Reconnect " && barred) << line;
      recorded.insert({ip, upto(line, 37, '\n')});
    }
    const std::string history = bench.history();
    for (; written < history.size(); written = history.find('\n', written) + 1) {
      const std::string ip = upto(history, written + 9, ' ');
      const std::string name = clean(upto(history, written + 25, '\\'));
      EXPECT_TRUE(held(ip, name, -1)) << "invented: " << history.substr(written, 60);
      recorded.insert({ip, name});
    }
    const std::vector<drav_sim::Kick> kicks = bench.server.kicks();
    for (; kicked < kicks.size(); ++kicked) {
      EXPECT_TRUE(kickable.contains(who(kicks[kicked].player))) << "kicked " << kicks[kicked].slot;
      gone.push_back(kicks[kicked].player);
    }
    for (const ts_client& c : bench.status.ats_client)  // the details shown are the player's own
      EXPECT_TRUE(c.b_active != 1 || c.ts_info.ts_address.ip == 0 ||
                  c.ts_info.ts_address.ip == c.ts_line.ts_address.ip)
          << "details of another for " << c.ts_line.ac_name;
    if (poll + 1 > SETTLE)
      check_settled(poll + 1 - SETTLE, poll);
  }

  // Whoever stayed in a slot under one name through the last polls is in the table so, whoever
  // was nowhere is not. A name held in a slot through two whole polls (neither losing its line)
  // is recorded by the end of the next; a shorter one can go with a single datagram.
  void check_settled(int oldest, int poll) {
    const Moments all = polls(oldest, poll);
    const std::ptrdiff_t whole = starts[poll] - starts[oldest];
    for (int i = 0; i < SLOTS; ++i) {
      const std::optional<Player>& early = all.front()[i];
      const auto kept =
          std::ranges::find_if(all, [&](auto& t) { return !same(t[i], early); }) - all.begin();
      const ts_client& c = bench.status.ats_client[i];
      EXPECT_TRUE(kept < std::ssize(all) || (c.b_active == 1 && c.ts_line.ac_name == early->name &&
                                             who(c.ts_line) == who(*early)))
          << "missed: " << early->name << " in slot " << i;
      EXPECT_TRUE(c.b_active != 1 || count(all, as(c.ts_line, i)) > 0)
          << "missed the departure from slot " << i;
      EXPECT_TRUE(lossy(oldest) || lossy(oldest + 1) || kept < whole ||
                  recorded.contains({early->ip, clean(early->name)}))
          << "missed the name " << early->name << " in slot " << i;
    }
  }

  void run(drav_sim::Layout layout) {
    bench.server.set_layout(layout);
    bench.server.set_zombie_seconds(0);
    bench.server.set_reply_override([&](const std::string& command) -> std::optional<Lines> {
      const std::lock_guard lock(mutex);
      if (!command.starts_with("kick") && random(100) < 6)
        mutate(true);  // between two requests of one poll
      return std::nullopt;
    });
    for (int n = 0; n < 40; ++n)  // the players the tracker finds at its start
      mutate(false);
    starts = {seen.size()};
    for (int poll = 0; poll < POLLS && !testing::Test::HasFailure(); ++poll) {
      SCOPED_TRACE(testing::Message()
                   << "layout " << static_cast<int>(layout) << ", poll " << poll);
      std::unique_lock lock(mutex);
      seen.push_back(bench.server.players());
      for (int n = random(3); n > 0; --n)
        mutate(false);
      operate();
      // One poll in three goes over a clean link: a line that three damaged replies in a row
      // lost cannot be known, however the tracker asks. Replies split where the buffer fills.
      drav_sim::Faults link{.split_anywhere = true, .link_seed = static_cast<std::uint32_t>(poll)};
      link.lose_percent = link.double_percent = link.reorder_percent =
          lossy(poll) || poll % 3 == 2 ? 0 : 3;
      if (lossy(poll))
        link.drop_datagram = 1, link.only_command = "status";
      bench.server.set_faults(link);
      known = bench.status.ats_client;
      lock.unlock();
      const Lines log = bench.poll().second;
      lock.lock();
      seen.push_back(bench.server.players()), starts.push_back(seen.size());
      check(poll, log);
    }
  }
};

TEST(StatsChurn, OverARoughLinkEveryEventHistoryEntryAndKickIsTrue) {
  for (const drav_sim::Layout layout :
       {drav_sim::Layout::TITLED, drav_sim::Layout::PLAIN, drav_sim::Layout::BRACKETED})
    Churn().run(layout);
}

}  // namespace
