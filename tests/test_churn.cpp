// Thousands of polls against a simulated server whose players join, leave, rename, move,
// turn zombie and come back at random (fixed seed). After every poll the log, the slot
// table, the departed-player lists, the host-name texts and the IP history are checked
// against what the server listed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <tuple>

#include "drav_listip.h"
#include "drav_stats.h"
#include "stats_support.h"

namespace {

using drav_sim::Player;
using drav_test::parse_player_event;
using drav_test::PlayerEvent;
using drav_test::StatsBench;

constexpr int POLLS = 2000;
constexpr int STEP = 10;  // seconds between polls
constexpr int RECONNECT_TIMEOUT = 60;
constexpr int REJECT_TIMEOUT = 120;
// Sixteen short-named players fit one reply datagram, so the short collection wait of this
// test can never cut a reply.
constexpr int MAX_PLAYERS = 16;

// One connection: what identifies a player to the tracker.
struct Identity {
  std::string ip;
  int port = 0;
  int qport = 0;
  auto operator<=>(const Identity&) const = default;
};

Identity identity_of(const Player& p) {
  return {p.ip, p.port, p.qport};
}

bool blocked_address(const std::string& ip) {
  // "0 203.0.113.0/28" in the access list.
  if (ip.rfind("203.0.113.", 0) != 0) {
    return false;
  }
  return std::stoi(ip.substr(10)) < 16;
}

std::optional<ts_hostent> hostnames_of(const std::string& ip) {
  const int last = std::stoi(ip.substr(ip.rfind('.') + 1));
  if (last % 3 == 0) {
    return std::nullopt;
  }
  ts_hostent host{"host-" + ip + ".example.net", {}};
  if (last % 3 == 2) {
    host.aliases = {"alias-one-" + ip + ".example.org", "alias-two.example.org"};
  }
  return host;
}

std::string joined(const std::optional<ts_hostent>& host) {
  if (!host) {
    return "";
  }
  std::string text = host->name;
  for (const std::string& alias : host->aliases) {
    text += ";" + alias;
  }
  return text;
}

using Table = std::array<std::optional<Player>, MAX_CLIENTS>;

class Churn {
 public:
  Churn()
      : bench_("0 203.0.113.0/28\n", [](ts_config& c) {
          c.net_response_timeout_next = 1;
          c.access_reconnect_timeout = RECONNECT_TIMEOUT;
          c.access_kicked_reject_timeout = REJECT_TIMEOUT;
          c.poll_interval_status = STEP;
          c.poll_interval_dumpuser = 3;
        }) {
    bench_.server().set_zombie_seconds(1e9);  // zombies leave when the churn says so
    for (int last = 1; last <= 60; ++last) {
      for (const char* prefix : {"192.0.2.", "198.51.100.", "203.0.113."}) {
        const std::string ip = prefix + std::to_string(last);
        if (auto host = hostnames_of(ip)) {
          bench_.hostnames[ip] = *host;
        }
      }
    }
    // Already on the server when monitoring starts: nobody is blocked on the first poll.
    for (int slot = 0; slot < 4; ++slot) {
      Player p = fresh_player();
      if (slot == 0) {
        p.ip = "203.0.113.5";
      }
      bench_.server().set_player(slot * 3, p);
    }
  }

  void run() {
    for (int poll = 0; poll < POLLS; ++poll) {
      if (poll > 0) {
        mutate();
      }
      const Table listed = read_server();
      const std::time_t now = bench_.now;
      bench_.poll();
      check_events(listed, now, poll);
      check_slots(listed);
      check_lists(now);
      check_history();
      if (::testing::Test::HasFailure()) {
        FAIL() << "stopped after poll " << poll;
      }
      previous_ = listed;
      admin_actions();
    }
    EXPECT_GT(arrival_kinds_["Reconnect "], 0);
    EXPECT_GT(arrival_kinds_["Reject    "], 0);
    EXPECT_GT(arrival_kinds_["Block     "], 0);
    EXPECT_GT(arrival_kinds_["Connect   "], 0);
    EXPECT_GT(changes_, 0);
    EXPECT_GT(departures_, 0);
    check_history_file();
  }

 private:
  Table read_server() {
    Table table;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
      table[i] = bench_.server().player(i);
    }
    return table;
  }

  int random(int below) { return std::uniform_int_distribution<int>(0, below - 1)(rng_); }
  bool chance(int percent) { return random(100) < percent; }

  std::vector<int> slots(const Table& table, bool occupied, bool live_only = false) {
    std::vector<int> result;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
      const bool here = table[i].has_value() && !(live_only && table[i]->zombie);
      if (here == occupied) {
        result.push_back(i);
      }
    }
    return result;
  }

  template <class T>
  T pick(const std::vector<T>& items) {
    return items[static_cast<std::size_t>(random(static_cast<int>(items.size())))];
  }

  std::string random_name() {
    static const std::vector<std::string> names = {"Red",    "Blue",  "\x01Gre\x02en", "Zed",
                                                   "Ninja",  "Grunt", "Camper",        "Frag\x7f",
                                                   "Sniper", "Bot"};
    return pick(names) + std::to_string(random(100));
  }

  Player fresh_player() {
    static const std::vector<std::string> prefixes = {"192.0.2.", "198.51.100.", "203.0.113."};
    Player p;
    p.name = random_name();
    p.ip = pick(prefixes) + std::to_string(1 + random(60));
    p.port = 27901 + random(3);
    p.qport = next_qport_++;
    p.connecting = chance(30);
    p.ping = random(300);
    p.userinfo = {{"skin", "male/grunt"}, {"rate", "25000"}};
    return p;
  }

  bool present_live(const Table& table, const Identity& id) {
    return std::any_of(table.begin(), table.end(), [&](const std::optional<Player>& p) {
      return p && !p->zombie && identity_of(*p) == id;
    });
  }

  void mutate() {
    drav_sim::SimServer& server = bench_.server();
    const int actions = random(4);
    for (int action = 0; action < actions; ++action) {
      const Table table = read_server();
      const std::vector<int> empty = slots(table, false);
      const std::vector<int> live = slots(table, true, true);
      const std::vector<int> occupied = slots(table, true);
      const int live_count = static_cast<int>(live.size());
      switch (random(8)) {
        case 0:  // a newcomer
          if (live_count < MAX_PLAYERS && !empty.empty()) {
            server.set_player(pick(empty), fresh_player());
          }
          break;
        case 1: {  // somebody comes back with the same connection
          if (live_count >= MAX_PLAYERS || empty.empty() || gone_.empty()) {
            break;
          }
          Player back = pick(gone_);
          if (present_live(table, identity_of(back))) {
            break;
          }
          back.zombie = false;
          if (chance(30)) {
            back.name = random_name();
          }
          server.set_player(pick(empty), back);
          break;
        }
        case 2:  // somebody leaves (zombies included)
          if (!occupied.empty()) {
            const int slot = pick(occupied);
            remember_gone(*table[slot]);
            server.remove_player(slot);
          }
          break;
        case 3:  // a new name
          if (!live.empty()) {
            const int slot = pick(live);
            Player p = *table[slot];
            p.name = random_name();
            server.set_player(slot, p);
          }
          break;
        case 4:  // a new client number
          if (!live.empty() && !empty.empty()) {
            const int from = pick(live);
            server.set_player(pick(empty), *table[from]);
            server.remove_player(from);
          }
          break;
        case 5:  // the connection completes, or the score changes
          if (!live.empty()) {
            const int slot = pick(live);
            Player p = *table[slot];
            p.connecting = false;
            p.score += random(5);
            server.set_player(slot, p);
          }
          break;
        case 6:  // the server drops somebody: listed as a zombie for a while
          if (!live.empty()) {
            const int slot = pick(live);
            Player p = *table[slot];
            remember_gone(p);
            p.zombie = true;
            server.set_player(slot, p);
          }
          break;
        default:
          break;
      }
    }
  }

  void remember_gone(const Player& p) {
    if (p.zombie) {
      return;
    }
    gone_.push_back(p);
    if (gone_.size() > 12) {
      gone_.erase(gone_.begin());
    }
  }

  // What the screen does now and then: an admin kick or an admin ban.
  void admin_actions() {
    if (!chance(4)) {
      return;
    }
    std::vector<int> candidates;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
      const ts_client& slot = bench_.status().ats_client[i];
      if (slot.b_active == 1 && slot.i_kick_reason == KICK_NONE) {
        candidates.push_back(i);
      }
    }
    if (candidates.empty()) {
      return;
    }
    const int slot = pick(candidates);
    const te_kick_reason reason = chance(80) ? KICK_ADMIN : KICK_ADMIN_BAN;
    bench_.status().ats_client[slot].i_kick_reason = reason;
    kick_reason_[identity_of(*previous_[slot])] = reason;
    // The kicked player is dropped by the server and usually comes back soon.
    remember_gone(*previous_[slot]);
  }

  // The arrival kind the tracker must choose for a connection seen anew at `now`.
  std::string expected_arrival(const Identity& id, std::time_t now, bool first_poll) {
    const auto within = [&](const std::multimap<Identity, std::time_t>& list, int timeout) {
      const auto [begin, end] = list.equal_range(id);
      return std::any_of(begin, end, [&](const auto& entry) {
        return std::difftime(now, entry.second) < timeout;
      });
    };
    if (within(kicked_, REJECT_TIMEOUT)) {
      return "Reject    ";
    }
    if (within(disconnected_, RECONNECT_TIMEOUT)) {
      return "Reconnect ";
    }
    if (!first_poll && blocked_address(id.ip)) {
      return "Block     ";
    }
    return "Connect   ";
  }

  void check_events(const Table& listed, std::time_t now, int poll) {
    std::map<Identity, int> before;  // live connections of the previous poll, by slot
    for (int j = 0; j < MAX_CLIENTS; ++j) {
      if (previous_[j] && !previous_[j]->zombie) {
        before[identity_of(*previous_[j])] = j;
      }
    }
    // Expire the model's lists as the tracker does at the start of a poll.
    std::erase_if(disconnected_, [&](const auto& entry) {
      return std::difftime(now, entry.second) >= RECONNECT_TIMEOUT;
    });
    std::erase_if(kicked_, [&](const auto& entry) {
      return std::difftime(now, entry.second) >= REJECT_TIMEOUT;
    });

    std::vector<PlayerEvent> expected;
    std::set<Identity> now_live;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
      if (!listed[i] || listed[i]->zombie) {
        continue;
      }
      const Player& p = *listed[i];
      const Identity id = identity_of(p);
      now_live.insert(id);
      const auto known = before.find(id);
      if (known != before.end()) {
        if (known->second != i || previous_[known->second]->name != p.name) {
          expected.push_back({"Change    ", i, p.ip, clean(p.name)});
          history_.insert({p.ip, p.name, joined(hostnames_of(p.ip))});
        }
        continue;
      }
      const std::string kind = expected_arrival(id, now, poll == 0);
      expected.push_back({kind, i, p.ip, clean(p.name)});
      history_.insert({p.ip, p.name, joined(hostnames_of(p.ip))});
      kick_reason_[id] = kind == "Reject    "   ? KICK_REJECTED
                         : kind == "Block     " ? KICK_BLOCKED
                                                : KICK_NONE;
    }
    for (int j = 0; j < MAX_CLIENTS; ++j) {
      if (!previous_[j] || previous_[j]->zombie) {
        continue;
      }
      const Identity id = identity_of(*previous_[j]);
      if (now_live.count(id) != 0) {
        continue;
      }
      expected.push_back({"Disconnect", j, id.ip, clean(previous_[j]->name)});
      const int reason = kick_reason_[id];
      if (reason == KICK_NONE) {
        disconnected_.emplace(id, now);
      } else if (reason == KICK_ADMIN) {
        kicked_.emplace(id, now);
      }
      kick_reason_.erase(id);
    }

    std::vector<PlayerEvent> actual;
    for (const std::string& line : bench_.new_log_lines()) {
      if (line.rfind("Server Change", 0) == 0) {
        continue;
      }
      actual.push_back(parse_player_event(line));
    }
    EXPECT_EQ(actual, expected) << "poll " << poll;
    for (const PlayerEvent& event : actual) {
      if (event.label == "Change    ") {
        ++changes_;
      } else if (event.label == "Disconnect") {
        ++departures_;
      } else {
        ++arrival_kinds_[event.label];
      }
    }
  }

  static std::string clean(const std::string& name) {
    std::string text;
    std::copy_if(name.begin(), name.end(), std::back_inserter(text),
                 [](char c) { return static_cast<unsigned char>(c) >= 0x20 || c == '\n'; });
    return text;
  }

  void check_slots(const Table& listed) {
    std::set<const char*> texts;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
      const ts_client& slot = bench_.status().ats_client[i];
      const bool live = listed[i] && !listed[i]->zombie;
      ASSERT_EQ(slot.b_active, live ? 1 : 0) << "slot " << i;
      if (!live) {
        EXPECT_FALSE(slot.pc_hostnames.has_value()) << "slot " << i << " keeps a freed text";
        continue;
      }
      const Player& p = *listed[i];
      EXPECT_EQ(slot.ts_line.i_num, i);
      EXPECT_EQ(slot.ts_line.ac_name, p.name);
      EXPECT_EQ(slot.ts_line.ts_address,
                r_dravip_string_to_ip_port((p.ip + ":" + std::to_string(p.port)).c_str()));
      EXPECT_EQ(slot.ts_line.i_qport, p.qport);
      EXPECT_EQ(slot.ts_line.b_connecting, p.connecting ? 1 : 0);
      EXPECT_EQ(slot.i_kick_reason, kick_reason_[identity_of(p)]) << "slot " << i;
      EXPECT_EQ(slot.ts_info.ac_name, p.name) << "slot " << i;
      const std::optional<ts_hostent> host = hostnames_of(p.ip);
      ASSERT_EQ(slot.pc_hostnames.has_value(), host.has_value()) << "slot " << i;
      if (slot.pc_hostnames) {
        EXPECT_EQ(*slot.pc_hostnames, joined(host));
        EXPECT_TRUE(texts.insert(slot.pc_hostnames->data()).second)
            << "slot " << i << " shares its host-name text";
      }
    }
  }

  void check_lists(std::time_t now) {
    const auto as_multiset = [](const std::forward_list<ts_disconnected>& list) {
      std::multiset<std::tuple<std::uint64_t, int, int, std::time_t>> entries;
      for (const ts_disconnected& entry : list) {
        entries.emplace(entry.ts_address.ip, entry.ts_address.port, entry.i_qport, entry.t_time);
      }
      return entries;
    };
    const auto model = [&](const std::multimap<Identity, std::time_t>& list) {
      std::multiset<std::tuple<std::uint64_t, int, int, std::time_t>> entries;
      for (const auto& [id, time] : list) {
        entries.emplace(r_dravip_string_to_ip(id.ip.c_str()), id.port, id.qport, time);
      }
      return entries;
    };
    EXPECT_EQ(as_multiset(bench_.status().pts_disconnected), model(disconnected_)) << now;
    EXPECT_EQ(as_multiset(bench_.status().pts_kicked), model(kicked_)) << now;
  }

  void check_history() {
    std::set<std::tuple<std::string, std::string, std::string>> recorded;
    for (const ts_listip_data& entry : r_dravlistip_get_list()) {
      recorded.emplace(r_dravip_ip_to_text(entry.ip).c_str(), entry.name, entry.hostnames);
    }
    EXPECT_EQ(recorded, history_);
  }

  // The file holds one line per distinct sighting, as the list does.
  void check_history_file() {
    const std::string file = bench_.history();
    EXPECT_EQ(static_cast<std::size_t>(std::count(file.begin(), file.end(), '\n')),
              history_.size());
    for (const auto& [ip, name, hosts] : history_) {
      char address[32];
      std::snprintf(address, sizeof address, " %-15s ", ip.c_str());
      EXPECT_NE(file.find(address + name + "\\" + hosts + "\n"), std::string::npos)
          << ip << " " << name;
    }
  }

  StatsBench bench_;
  std::mt19937 rng_{20240611};
  int next_qport_ = 1000;
  Table previous_;
  std::vector<Player> gone_;
  std::map<Identity, int> kick_reason_;
  std::multimap<Identity, std::time_t> disconnected_;
  std::multimap<Identity, std::time_t> kicked_;
  std::set<std::tuple<std::string, std::string, std::string>> history_;
  std::map<std::string, int> arrival_kinds_;
  int changes_ = 0;
  int departures_ = 0;
};

TEST(StatsChurn, TrackerFollowsARandomServerThroughThousandsOfPolls) {
  Churn churn;
  churn.run();
}

}  // namespace
