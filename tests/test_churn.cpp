// Thousands of polls against a simulated server whose players join, leave, rename, move, turn
// zombie, get kicked and come back at random (fixed seed). After every poll the log, the slot
// table, the departed-player lists, the host-name texts and the IP history are checked
// against a model of what the tracker must have seen.
#include <gtest/gtest.h>

#include <algorithm>
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
using drav_test::client_line;
using drav_test::Lines;
// What identifies a connection to the tracker: address, port and qport.
using Identity = std::tuple<std::uint64_t, int, int>;
using Departures = std::multiset<std::pair<Identity, std::time_t>>;
using Table = std::array<std::optional<Player>, MAX_CLIENTS>;
using History = std::set<std::tuple<std::string, std::string, std::string>>;

constexpr int POLLS = 2000;
constexpr int RECONNECT_TIMEOUT = 60;
constexpr int REJECT_TIMEOUT = 120;
// Sixteen listed players (zombies count) with short names fit one reply datagram, so the short
// collection wait of this test can never cut a reply.
constexpr int MAX_LISTED = 16;
constexpr const char* PREFIXES[] = {"192.0.2.", "198.51.100.", "203.0.113."};
constexpr const char* NAMES[] = {"Red",   "Blue",   "\x01Gre\x02en", "Zed",    "Ninja",
                                 "Grunt", "Camper", "Frag\x7f",      "Sniper", "Bot"};

Identity identity_of(const Player& p) {
  return {r_dravip_string_to_ip(p.ip.c_str()), p.port, p.qport};
}

bool blocked(const std::string& ip) {  // "0 203.0.113.0/28" in the access list
  return ip.starts_with("203.0.113.") && std::stoi(ip.substr(10)) < 16;
}

// Log lines drop the control characters of names.
std::string clean(std::string name) {
  std::erase_if(name, [](char c) { return static_cast<unsigned char>(c) < 0x20; });
  return name;
}

// Departed-player list entries, whatever their order.
Departures departures(const std::forward_list<ts_disconnected>& list) {
  Departures result;
  for (const ts_disconnected& e : list) {
    result.emplace(Identity{e.ts_address.ip, e.ts_address.port, e.i_qport}, e.t_time);
  }
  return result;
}

class StatsChurn : public ::testing::Test {
 protected:
  StatsChurn()
      : bench_("0 203.0.113.0/28\n", [](ts_config& c) {
          c.net_response_timeout_1 = 2000;  // never reached: the server always answers
          c.net_response_timeout_next = 1;
          c.access_reconnect_timeout = RECONNECT_TIMEOUT;
          c.access_kicked_reject_timeout = REJECT_TIMEOUT;
          c.poll_interval_dumpuser = 3;
        }) {
    bench_.server.set_zombie_seconds(1e9);  // zombies leave when the churn says so
    // A third of the addresses have no name, a third a name, a third aliases too.
    for (int last = 1; last <= 60; ++last) {
      for (const char* prefix : PREFIXES) {
        const std::string ip = prefix + std::to_string(last);
        if (last % 3 != 0) {
          bench_.hostnames[ip] = {"host-" + ip + ".example.net", {}};
        }
        if (last % 3 == 2) {
          bench_.hostnames[ip].apc_aliases = {"alias-one-" + ip + ".example.org",
                                              "alias-two.example.org"};
        }
      }
    }
    // Already on the server when monitoring starts, a blocked address among them.
    for (int slot = 0; slot < 4; ++slot) {
      Player p = fresh_player();
      p.ip = slot == 0 ? "203.0.113.5" : p.ip;
      bench_.server.set_player(slot * 3, p);
    }
  }

  int random(int below) { return std::uniform_int_distribution<int>(0, below - 1)(rng_); }
  bool chance(int percent) { return random(100) < percent; }
  template <class Items>
  auto pick(const Items& items) {
    return items[static_cast<std::size_t>(random(static_cast<int>(std::size(items))))];
  }

  std::string random_name() { return pick(NAMES) + std::to_string(random(100)); }

  Player fresh_player() {
    return {.name = random_name(),
            .ip = pick(PREFIXES) + std::to_string(1 + random(60)),
            .port = 27901 + random(3),
            .qport = next_qport_++,
            .ping = random(300),
            .connecting = chance(30),
            .userinfo = {{"skin", "soldier/green"}, {"rate", "25000"}}};
  }

  void remember_gone(const Player& p) {
    if (!p.zombie) {
      gone_.push_back(p);
    }
    if (gone_.size() > 12) {
      gone_.erase(gone_.begin());
    }
  }

  void mutate() {
    drav_sim::SimServer& server = bench_.server;
    for (int action = random(4); action > 0; --action) {
      std::vector<int> empty, live, occupied;
      for (int i = 0; i < MAX_CLIENTS; ++i) {
        const std::optional<Player> p = server.player(i);
        (p ? occupied : empty).push_back(i);
        if (p && !p->zombie) {
          live.push_back(i);
        }
      }
      const bool room = occupied.size() < MAX_LISTED;
      const int kind = random(8);
      if (kind == 0 && room) {  // a newcomer
        server.set_player(pick(empty), fresh_player());
      } else if (kind == 1 && room && !gone_.empty()) {  // a return with the same connection
        Player back = pick(gone_);
        const bool here = std::ranges::any_of(
            live, [&](int i) { return identity_of(*server.player(i)) == identity_of(back); });
        back.name = chance(30) ? random_name() : back.name;
        if (!here) {
          server.set_player(pick(empty), back);
        }
      } else if (kind == 2 && !occupied.empty()) {  // a departure, zombies included
        const int slot = pick(occupied);
        remember_gone(*server.player(slot));
        server.remove_player(slot);
      } else if (kind >= 3 && kind <= 6 && !live.empty()) {
        int slot = pick(live);
        Player p = *server.player(slot);
        if (kind == 3) {
          p.name = random_name();
        } else if (kind == 5) {  // the connection completes, or the score changes
          p.connecting = false;
          p.score += random(5);
        } else if (kind == 6) {  // dropped by the server: listed as a zombie for a while
          remember_gone(p);
          p.zombie = true;
        } else if (!empty.empty()) {  // a new client number
          server.remove_player(slot);
          slot = pick(empty);
        }
        server.set_player(slot, p);
      }
    }
  }

  // What the screen does now and then; the kicked player usually comes back soon.
  void admin_kick() {
    std::vector<int> candidates;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
      const ts_client& slot = bench_.status.ats_client[i];
      if (slot.b_active == 1 && slot.i_kick_reason == KICK_NONE) {
        candidates.push_back(i);
      }
    }
    if (candidates.empty() || !chance(4)) {
      return;
    }
    const int slot = pick(candidates);
    const te_kick_reason reason = chance(80) ? KICK_ADMIN : KICK_ADMIN_BAN;
    bench_.status.ats_client[slot].i_kick_reason = reason;
    kick_reason_[identity_of(*previous_[slot])] = reason;
    remember_gone(*previous_[slot]);
  }

  // Compares the log lines of a poll at `now` with those the tracker must write, and updates
  // the model's lists and kick reasons as the tracker must update its own.
  void check_events(const Table& listed, std::time_t now, bool first_poll, Lines log) {
    std::erase_if(disconnected_,
                  [&](const auto& e) { return now - e.second >= RECONNECT_TIMEOUT; });
    std::erase_if(kicked_, [&](const auto& e) { return now - e.second >= REJECT_TIMEOUT; });
    std::map<Identity, int> before;  // live connections of the previous poll, by slot
    for (int j = 0; j < MAX_CLIENTS; ++j) {
      if (previous_[j] && !previous_[j]->zombie) {
        before[identity_of(*previous_[j])] = j;
      }
    }
    Lines expected;
    std::set<Identity> now_live;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
      if (!listed[i] || listed[i]->zombie) {
        continue;
      }
      const Player& p = *listed[i];
      const Identity id = identity_of(p);
      now_live.insert(id);
      const auto known = before.find(id);
      std::string kind = "Change    ";
      if (known == before.end()) {
        kind = kicked_.contains(id)           ? "Reject    "
               : disconnected_.contains(id)   ? "Reconnect "
               : !first_poll && blocked(p.ip) ? "Block     "
                                              : "Connect   ";
        kick_reason_[id] = kind == "Reject    "   ? KICK_REJECTED
                           : kind == "Block     " ? KICK_BLOCKED
                                                  : KICK_NONE;
      } else if (known->second == i && previous_[i]->name == p.name) {
        continue;
      }
      expected.push_back(client_line(kind, i, p.ip, clean(p.name)));
      history_.insert({p.ip, p.name, hosts_of(p.ip).value_or("")});
    }
    for (int j = 0; j < MAX_CLIENTS; ++j) {
      if (!previous_[j] || previous_[j]->zombie || now_live.contains(identity_of(*previous_[j]))) {
        continue;
      }
      const Identity id = identity_of(*previous_[j]);
      expected.push_back(client_line("Disconnect", j, previous_[j]->ip, clean(previous_[j]->name)));
      if (kick_reason_[id] == KICK_NONE) {
        disconnected_.emplace(id, now);
      } else if (kick_reason_[id] == KICK_ADMIN) {
        kicked_.emplace(id, now);
      }
      kick_reason_.erase(id);
    }

    std::erase_if(log, [](const std::string& line) { return line.starts_with("Server Change"); });
    EXPECT_EQ(log, expected);
    for (const std::string& line : log) {
      seen_.insert(line.substr(7, 10));
    }
  }

  // Every active slot holds what the server lists in it, with a host-name text of its own.
  void check_slots(const Table& listed) {
    std::set<const char*> texts;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
      const ts_client& slot = bench_.status.ats_client[i];
      const bool live = listed[i] && !listed[i]->zombie;
      ASSERT_EQ(slot.b_active, live ? 1 : 0) << "slot " << i;
      if (!live) {
        EXPECT_FALSE(slot.pc_hostnames.has_value()) << "slot " << i << " keeps a freed text";
        continue;
      }
      const Player& p = *listed[i];
      const ts_status_line& line = slot.ts_line;
      EXPECT_EQ(
          std::make_tuple(line.i_num, std::string(line.ac_name), line.ts_address.ip,
                          line.ts_address.port, line.i_qport, line.b_connecting, slot.i_kick_reason,
                          std::string(slot.ts_info.ac_name), slot.pc_hostnames),
          std::make_tuple(i, p.name, std::get<0>(identity_of(p)), p.port, p.qport,
                          p.connecting ? 1 : 0, kick_reason_[identity_of(p)], p.name,
                          hosts_of(p.ip)))
          << "slot " << i;
      if (slot.pc_hostnames) {
        EXPECT_TRUE(texts.insert(slot.pc_hostnames->data()).second)
            << "slot " << i << " shares its host-name text";
      }
    }
  }

  // The host-name text the tracker must keep for an address, as the constructor named it.
  static std::optional<std::string> hosts_of(const std::string& ip) {
    const int last = std::stoi(ip.substr(ip.rfind('.') + 1));
    if (last % 3 == 0) {
      return std::nullopt;
    }
    return "host-" + ip + ".example.net" +
           (last % 3 == 2 ? ";alias-one-" + ip + ".example.org;alias-two.example.org" : "");
  }

  drav_test::StatsBench bench_;
  std::mt19937 rng_{20240611};
  int next_qport_ = 1000;
  Table previous_;
  std::vector<Player> gone_;
  std::map<Identity, int> kick_reason_;
  std::multimap<Identity, std::time_t> disconnected_, kicked_;
  History history_;
  std::set<std::string> seen_;  // labels of the log lines
};

TEST_F(StatsChurn, TrackerFollowsARandomServerThroughThousandsOfPolls) {
  for (int poll = 0; poll < POLLS; ++poll) {
    if (poll > 0) {
      mutate();
    }
    Table listed;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
      listed[i] = bench_.server.player(i);
    }
    const std::time_t now = bench_.now;
    check_events(listed, now, poll == 0, bench_.poll().second);
    check_slots(listed);
    EXPECT_EQ(departures(bench_.status.pts_disconnected),
              Departures(disconnected_.begin(), disconnected_.end()));
    EXPECT_EQ(departures(bench_.status.pts_kicked), Departures(kicked_.begin(), kicked_.end()));
    History recorded;
    for (const ts_listip_data& entry : r_dravlistip_get_list()) {
      recorded.emplace(r_dravip_ip_to_text(entry.ip).c_str(), entry.name, entry.hostnames);
    }
    EXPECT_EQ(recorded, history_);
    if (HasFailure()) {
      FAIL() << "stopped after poll " << poll;
    }
    previous_ = listed;
    admin_kick();
  }
  EXPECT_EQ(seen_, (std::set<std::string>{"Connect   ", "Reconnect ", "Block     ", "Reject    ",
                                          "Change    ", "Disconnect"}));
  // The file holds one line per distinct sighting, as the list does.
  const std::string file = bench_.history();
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), std::ssize(history_));
}

}  // namespace
