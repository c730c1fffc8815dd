// Thousands of polls against a simulated server whose players join, leave, rename, move, turn
// zombie, get kicked and come back at random (fixed seed). After every poll the log, the slot
// table, the departed-player lists, the host-name texts and the IP history are checked
// against a model of what the tracker must have seen. Then the same churn over a rough link,
// where every logged event is checked against what really happened on the server.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <iterator>
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
using Slots = std::array<ts_client, MAX_CLIENTS>;

constexpr int POLLS = 2000;
constexpr int RECONNECT_TIMEOUT = 60;
constexpr int REJECT_TIMEOUT = 120;
// Sixteen listed players (zombies count) with short names fit one reply datagram, so the short
// collection wait of this test can never cut a reply.
constexpr int MAX_LISTED = 16;
// The rough link: a few percent of the reply datagrams lost, cut, doubled and reordered, and
// replies split at any byte. Thirty listed players need two to four status datagrams.
constexpr int ROUGH_POLLS = 300;
constexpr int ROUGH_LISTED = 30;
const drav_sim::Faults ROUGH_LINK = {.lose_percent = 3,
                                     .cut_percent = 3,
                                     .double_percent = 3,
                                     .reorder_percent = 3,
                                     .split_anywhere = true,
                                     .link_seed = 20240612};
// A player listed this many polls in a row in one slot under one name is in the tracker's table
// by then, and one not listed for as long is out of it: lost replies only delay the tracker. A
// change needs two agreeing status replies, which about every second poll gets over this link,
// so a run that strays from its seeded course (a wait run out on a busy machine) still misses
// this bound less than once in a thousand runs.
constexpr int SETTLE_POLLS = 12;
constexpr const char* PREFIXES[] = {"192.0.2.", "198.51.100.", "203.0.113."};
constexpr const char* NAMES[] = {"Red",   "Blue",   "\x01Gre\x02en", "Zed",    "Ninja",
                                 "Grunt", "Camper", "Frag\x7f",      "Sniper", "Bot"};

Identity identity_of(const Player& p) {
  return {r_dravip_string_to_ip(p.ip.c_str()), p.port, p.qport};
}

Identity identity_of(const ts_client& slot) {
  return {slot.ts_line.ts_address.ip, slot.ts_line.ts_address.port, slot.ts_line.i_qport};
}

bool live(const std::optional<Player>& p) {
  return p && !p->zombie;
}

// Whether the server lists a connection, not as a zombie.
bool lists(const Table& listed, const Identity& id) {
  return std::ranges::any_of(listed,
                             [&](const auto& p) { return live(p) && identity_of(*p) == id; });
}

// The slot of the tracker's table that holds a connection, or -1.
int slot_of(const Slots& slots, const Identity& id) {
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    if (slots[i].b_active == 1 && identity_of(slots[i]) == id) {
      return i;
    }
  }
  return -1;
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
          bench_.hostnames[ip].aliases = {"alias-one-" + ip + ".example.org",
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
      const bool room = std::ssize(occupied) < max_listed_;
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
    const Identity id = identity_of(bench_.status.ats_client[slot]);
    kick_reason_[id] = reason;
    for (const std::optional<Player>& p : previous_) {
      if (live(p) && identity_of(*p) == id) {
        remember_gone(*p);
      }
    }
  }

  void expire_lists(std::time_t now) {
    std::erase_if(disconnected_,
                  [&](const auto& e) { return now - e.second >= RECONNECT_TIMEOUT; });
    std::erase_if(kicked_, [&](const auto& e) { return now - e.second >= REJECT_TIMEOUT; });
  }

  // The label the tracker must log for a connection it did not hold; sets its kick reason.
  std::string arrival(const Identity& id, const std::string& ip, bool first_poll) {
    const std::string kind = kicked_.contains(id)         ? "Reject    "
                             : disconnected_.contains(id) ? "Reconnect "
                             : !first_poll && blocked(ip) ? "Block     "
                                                          : "Connect   ";
    kick_reason_[id] = kind == "Reject    "   ? KICK_REJECTED
                       : kind == "Block     " ? KICK_BLOCKED
                                              : KICK_NONE;
    return kind;
  }

  // Lists a departed connection as its kick reason says.
  void departure(const Identity& id, std::time_t now) {
    if (kick_reason_[id] == KICK_NONE) {
      disconnected_.emplace(id, now);
    } else if (kick_reason_[id] == KICK_ADMIN) {
      kicked_.emplace(id, now);
    }
    kick_reason_.erase(id);
  }

  // Compares the log lines of a poll at `now` with those the tracker must write, and updates
  // the model's lists and kick reasons as the tracker must update its own.
  void check_events(const Table& listed, std::time_t now, bool first_poll, Lines log) {
    expire_lists(now);
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
        kind = arrival(id, p.ip, first_poll);
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
      departure(id, now);
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

  // Over the rough link the tracker may learn late, but what it logs happened: an arrival or a
  // change names the connection the server lists in that slot under that name, a departure one
  // the server no longer lists, and the tracker's table moves only as its log says. Updates
  // the model's lists and kick reasons as check_events does.
  void check_truth(const Table& listed, const Slots& before, std::time_t now, bool first_poll,
                   const Lines& log) {
    expire_lists(now);
    const Slots& after = bench_.status.ats_client;
    std::set<int> logged;  // slots with an arrival or a change
    std::set<Identity> gone;
    for (const std::string& line : log) {
      if (!line.starts_with("Client ")) {  // the settings never change after the first poll
        EXPECT_TRUE(first_poll && line.starts_with("Server Change")) << "invented: " << line;
        continue;
      }
      const std::string label = line.substr(7, 10);
      const int i = std::stoi(line.substr(18, 2));
      const ts_client& slot = label == "Disconnect" ? before[i] : after[i];
      const Identity id = identity_of(slot);
      EXPECT_EQ(line, line_of(label, i, slot));
      if (label == "Disconnect") {
        EXPECT_FALSE(lists(listed, id)) << "invented: " << line;
        gone.insert(id);
        departure(id, now);
        continue;
      }
      logged.insert(i);
      EXPECT_TRUE(live(listed[i]) && identity_of(*listed[i]) == id &&
                  listed[i]->name == slot.ts_line.ac_name)
          << "invented: " << line;
      const int was = slot_of(before, id);
      if (label != "Change    ") {
        EXPECT_LT(was, 0) << "invented: " << line;
        EXPECT_EQ(label, arrival(id, r_dravip_ip_to_text(std::get<0>(id)).c_str(), first_poll))
            << line;
      } else {  // moved or renamed: no player here changes anything else
        EXPECT_TRUE(was >= 0 &&
                    (was != i || std::string(before[was].ts_line.ac_name) != slot.ts_line.ac_name))
            << "invented: " << line;
      }
    }
    check_table(before, logged, gone);
  }

  // The tracker's table moved only as its log says: a connection left it with a Disconnect
  // line, and a slot took another connection or name only with a line of its own.
  void check_table(const Slots& before, const std::set<int>& logged,
                   const std::set<Identity>& gone) {
    const Slots& after = bench_.status.ats_client;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
      if (before[i].b_active == 1) {
        EXPECT_NE(slot_of(after, identity_of(before[i])) >= 0,
                  gone.contains(identity_of(before[i])))
            << "slot " << i << ": a departure without its line, or a line without a departure";
      }
      if (after[i].b_active != 1) {
        continue;
      }
      EXPECT_TRUE(logged.contains(i) ||
                  (before[i].b_active == 1 && identity_of(before[i]) == identity_of(after[i]) &&
                   std::string(before[i].ts_line.ac_name) == after[i].ts_line.ac_name))
          << "slot " << i << " changed without a line";
      const std::string details = after[i].ts_info.ac_name;
      EXPECT_TRUE(details.empty() || details == after[i].ts_line.ac_name)
          << "slot " << i << " holds details of another name";
      EXPECT_EQ(after[i].i_kick_reason, kick_reason_[identity_of(after[i])]) << "slot " << i;
    }
  }

  // Kicks hit only connections marked for one.
  void check_kicks(const Table& listed, const Lines& commands) {
    for (const std::string& command : commands) {
      if (command.starts_with("kick ")) {
        const std::optional<Player>& p = listed[std::stoi(command.substr(5))];
        EXPECT_TRUE(p && kick_reason_[identity_of(*p)] != KICK_NONE) << "invented: " << command;
      }
    }
  }

  // Whoever the server listed in one slot under one name through `recent` is in the tracker's
  // table, and whoever it listed in none of them is not.
  void check_settled(const std::deque<Table>& recent) {
    const Slots& slots = bench_.status.ats_client;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
      const std::optional<Player>& p = recent.back()[i];
      if (live(p) && std::ranges::all_of(recent, [&](const Table& t) {
            return live(t[i]) && identity_of(*t[i]) == identity_of(*p) && t[i]->name == p->name;
          })) {
        EXPECT_TRUE(slots[i].b_active == 1 && identity_of(slots[i]) == identity_of(*p) &&
                    slots[i].ts_line.ac_name == p->name)
            << "missed: " << p->name << " in slot " << i;
      }
      EXPECT_TRUE(slots[i].b_active != 1 ||
                  std::ranges::any_of(
                      recent, [&](const Table& t) { return lists(t, identity_of(slots[i])); }))
          << "missed the departure from slot " << i;
    }
  }

  void check_lists() {
    EXPECT_EQ(departures(bench_.status.pts_disconnected),
              Departures(disconnected_.begin(), disconnected_.end()));
    EXPECT_EQ(departures(bench_.status.pts_kicked), Departures(kicked_.begin(), kicked_.end()));
  }

  Table listed_now() const {
    Table listed;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
      listed[i] = bench_.server.player(i);
    }
    return listed;
  }

  static History recorded_history() {
    History recorded;
    for (const ts_listip_data& entry : r_dravlistip_get_list()) {
      recorded.emplace(r_dravip_ip_to_text(entry.ip).c_str(), entry.name, entry.hostnames);
    }
    return recorded;
  }

  static std::string line_of(const std::string& label, int i, const ts_client& slot) {
    return client_line(label, i, r_dravip_ip_to_text(slot.ts_line.ts_address.ip).c_str(),
                       clean(slot.ts_line.ac_name));
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
  int max_listed_ = MAX_LISTED;
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
    const Table listed = listed_now();
    const std::time_t now = bench_.now;
    check_events(listed, now, poll == 0, bench_.poll().second);
    check_slots(listed);
    check_lists();
    EXPECT_EQ(recorded_history(), history_);
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

// A busy server over a link that loses, cuts, doubles and reorders datagrams and splits replies
// anywhere. The tracker may learn late, never wrongly: each logged event, kick and history
// entry was true on the server, and nothing stays unseen for SETTLE_POLLS polls.
TEST_F(StatsChurn, OverARoughLinkEveryEventIsTrueAndNoneStaysUnseen) {
  // A lost datagram costs the first wait, so both are short, yet far beyond what a loopback
  // reply takes; one that runs out anyway is one more lost datagram.
  bench_.config.net_response_timeout_1 = 100;
  bench_.config.net_response_timeout_next = 40;
  max_listed_ = ROUGH_LISTED;
  for (int slot = 0; slot < ROUGH_LISTED - 4; ++slot) {  // busy from the start
    if (!bench_.server.player(slot)) {
      bench_.server.set_player(slot, fresh_player());
    }
  }
  std::deque<Table> recent;
  for (int poll = 0; poll < ROUGH_POLLS; ++poll) {
    SCOPED_TRACE("poll " + std::to_string(poll));
    if (poll > 0) {
      mutate();
    }
    const Table listed = listed_now();
    const Slots before = bench_.status.ats_client;
    const std::time_t now = bench_.now;
    const auto [commands, log] = bench_.poll();
    check_truth(listed, before, now, poll == 0, log);
    check_kicks(listed, commands);
    recent.push_back(listed);
    if (recent.size() > SETTLE_POLLS) {
      recent.pop_front();
      check_settled(recent);
    }
    check_lists();
    for (const std::optional<Player>& p : listed) {
      if (live(p)) {
        history_.insert({p->ip, p->name, hosts_of(p->ip).value_or("")});
      }
    }
    History invented;
    std::ranges::set_difference(recorded_history(), history_,
                                std::inserter(invented, invented.end()));
    EXPECT_EQ(invented, History{}) << "invented history";
    history_.insert(invented.begin(), invented.end());  // told once
    // The first poll is clean: only a complete one takes the players already there unblocked.
    if (poll == 0) {
      bench_.server.set_faults(ROUGH_LINK);
    }
    previous_ = listed;
    admin_kick();
  }
}

}  // namespace
