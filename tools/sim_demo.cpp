#include "sim_demo.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sim_server.h"

namespace drav_sim {

namespace {

// An event happens on about every third tick, so that a screen polling every 1 to 2 seconds
// sees something new on most polls.
constexpr int EVENT_PERCENT = 35;
// Players from outside the banned network, whom random departures and joins keep between
// these counts.
constexpr int MIN_PLAYERS = 6;
constexpr int MAX_PLAYERS = 14;
constexpr int INITIAL_PLAYERS = 8;

// Ticks of the timers. A player who comes back must stay away for at least one poll of the
// monitor, or it would see a player who never left: 3 s covers the example configuration's
// 2-second polls. A reconnect that counts has to come within access_reconnect_timeout (60 s
// in the example), a return after a kick within access_kicked_reject_timeout (300 s).
constexpr int ZOMBIE_TICKS = 4;
constexpr int KICKED_RETURN_TICKS = 8;
constexpr int RECONNECT_MIN_TICKS = 6;
constexpr int RECONNECT_MAX_TICKS = 16;
constexpr int SCRIPTED_RECONNECT_TICKS = 12;
// The scripted events act on players who have been on the server long enough for the monitor
// to know them: a rename of a player it never saw would be an arrival, not a change.
constexpr int SETTLED_TICKS = 6;

// The scripted events of a cycle, by tick within the cycle.
enum class Beat { NONE, NEWCOMER, DROP_AND_RETURN, RENAME, BANNED_NEWCOMER, DEPARTURE };

constexpr Beat beat_at(int tick_in_cycle) {
  switch (tick_in_cycle) {
    case 2:
      return Beat::NEWCOMER;
    case 8:
      return Beat::DROP_AND_RETURN;
    case 26:
      return Beat::RENAME;
    case 36:
      return Beat::BANNED_NEWCOMER;
    case 48:
      return Beat::DEPARTURE;
    default:
      return Beat::NONE;
  }
}

// The network that the demo's access list gives level 0.
constexpr char BANNED_PREFIX[] = "203.0.113.";

struct Persona {
  const char* name;
  const char* ip;
};

// Names carry colour codes (bytes below 0x20) and game characters (0x80 and up) now and then,
// as real players' names do. Addresses come from the documentation ranges only.
constexpr std::array<Persona, 24> PERSONAS{{
    {"Vortex", "192.0.2.10"},
    {"\x03Red\x07"
     "Baron",
     "192.0.2.11"},
    {"Nightcrawler", "192.0.2.12"},
    {"xX_Sniper_Xx", "192.0.2.13"},
    {"Blink", "192.0.2.14"},
    {"\x8d\x8e Gladiator \x8e\x8d", "192.0.2.15"},
    {"Marauder", "192.0.2.16"},
    {"quietstorm", "192.0.2.17"},
    {"TheLongestNameOnThisServer!!", "198.51.100.20"},
    {"Rook", "198.51.100.21"},
    {"\x05Grim\x02Reaper", "198.51.100.22"},
    {"pixel", "198.51.100.23"},
    {"Wanderer", "198.51.100.24"},
    {"Ember", "198.51.100.25"},
    {"[CLAN]Hammer", "198.51.100.26"},
    {"[CLAN]Anvil", "198.51.100.27"},
    {"Nomad", "203.0.113.30"},
    {"Frostbite", "203.0.113.31"},
    {"\x9b\x9c\x9d", "203.0.113.32"},
    {"Zed", "203.0.113.33"},
    {"Raptor", "203.0.113.34"},
    {"Kestrel", "203.0.113.35"},
    {"OldTimer", "203.0.113.36"},
    {"newbie", "203.0.113.37"},
}};

constexpr std::array<const char*, 8> RENAME_SUFFIXES{
    {"_afk", "^", "2", "[away]", "_", "\x01!", "X", "_rdy"}};

enum class Event { JOIN, LEAVE, RENAME, ZOMBIE, COME_BACK, COUNT };

// One stay of a persona on the server. The port and qport stay the same when the player comes
// back from a dropped connection or a kick, as a client that reconnects keeps them.
struct Session {
  std::size_t persona = 0;
  int port = 0;
  int qport = 0;
  bool back_after_kick = false;  // a second kick sends it away for good
  long since = 0;                // tick of the arrival
};

struct Return {
  Session session;
  long at = 0;  // tick
};

}  // namespace

class DemoScript::Impl {
 public:
  Impl(SimServer& server, unsigned seed) : server_(server), random_(seed) {}

  void start() {
    // Some from the banned network too: the monitor lets in whoever it finds at its start.
    for (int i = 0; i < INITIAL_PLAYERS; ++i) {
      if (const std::optional<std::size_t> persona = idle_persona(percent() < 25, false)) {
        join(false, new_session(*persona));
      }
    }
  }

  void tick() {
    ++now_;
    follow_server();
    finish_timers();
    bring_back();
    jitter_players();
    const Beat beat = beat_at(static_cast<int>(now_ % CYCLE_TICKS));
    if (beat != Beat::NONE) {
      play(beat);
    } else if (percent() < EVENT_PERCENT) {
      event();
    }
  }

 private:
  int percent() { return std::uniform_int_distribution<int>(0, 99)(random_); }
  int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  template <typename T>
  T pick(const std::vector<T>& items) {
    return items[static_cast<std::size_t>(between(0, static_cast<int>(items.size()) - 1))];
  }

  std::optional<int> free_slot() {
    std::vector<int> free;
    for (int slot = 0; slot < server_.max_clients(); ++slot) {
      if (!server_.player(slot)) {
        free.push_back(slot);
      }
    }
    if (free.empty()) {
      return std::nullopt;
    }
    // Mostly the lowest free slot, as a real server hands them out, sometimes another.
    return percent() < 70 ? free.front() : pick(free);
  }

  std::vector<int> active_slots() const {
    std::vector<int> slots;
    for (const auto& [slot, session] : present_) {
      if (!zombie_until_.contains(slot)) {
        slots.push_back(slot);
      }
    }
    return slots;
  }

  /// Follows what the server did by itself: only a kick takes a player off the server or
  /// turns one into a zombie that the scenario did not make.
  void follow_server() {
    for (auto it = present_.begin(); it != present_.end();) {
      const int slot = it->first;
      const std::optional<Player> player = server_.player(slot);
      const bool own_zombie = zombie_until_.contains(slot);
      if (player && (!player->zombie || own_zombie)) {
        ++it;
        continue;
      }
      connecting_until_.erase(slot);
      zombie_until_.erase(slot);
      if (own_zombie || it->second.back_after_kick) {
        departed_.push_back(it->second.persona);
      } else {
        Session again = it->second;
        again.back_after_kick = true;
        returning_.push_back({again, now_ + KICKED_RETURN_TICKS});
      }
      it = present_.erase(it);
    }
  }

  void finish_timers() {
    for (auto it = connecting_until_.begin(); it != connecting_until_.end();) {
      if (it->second > now_) {
        ++it;
        continue;
      }
      if (std::optional<Player> player = server_.player(it->first); player && !player->zombie) {
        player->connecting = false;
        player->ping = between(15, 180);
        server_.set_player(it->first, *player);
      }
      it = connecting_until_.erase(it);
    }
    for (auto it = zombie_until_.begin(); it != zombie_until_.end();) {
      if (it->second > now_) {
        ++it;
        continue;
      }
      server_.remove_player(it->first);
      if (const auto session = present_.find(it->first); session != present_.end()) {
        departed_.push_back(session->second.persona);
        present_.erase(session);
      }
      it = zombie_until_.erase(it);
    }
  }

  /// Players whose return is due come back on their old address, port and qport; with no
  /// free slot they try again on the next tick.
  void bring_back() {
    for (auto it = returning_.begin(); it != returning_.end();) {
      if (it->at <= now_ && join(true, it->session)) {
        it = returning_.erase(it);
      } else {
        ++it;
      }
    }
  }

  void jitter_players() {
    for (const auto& [slot, session] : present_) {
      std::optional<Player> player = server_.player(slot);
      if (!player || player->zombie || player->connecting) {
        continue;
      }
      player->ping = std::clamp(player->ping + between(-15, 15), 5, 999);
      if (percent() < 30) {
        player->score += between(-1, 3);
      }
      player->lastmsg = between(0, 99);
      server_.set_player(slot, *player);
    }
  }

  /// Players whom the monitor knows by now, from outside the banned network.
  std::vector<int> settled_slots() const {
    std::vector<int> slots;
    for (const auto& [slot, session] : present_) {
      if (!zombie_until_.contains(slot) && !banned(session.persona) &&
          now_ - session.since >= SETTLED_TICKS) {
        slots.push_back(slot);
      }
    }
    return slots;
  }

  void play(Beat beat) {
    const std::vector<int> settled = settled_slots();
    switch (beat) {
      case Beat::NEWCOMER:
        join_idle(false);
        break;
      case Beat::DROP_AND_RETURN:
        if (!settled.empty()) {
          leave(pick(settled), SCRIPTED_RECONNECT_TICKS);
        }
        break;
      case Beat::RENAME:
        if (!settled.empty()) {
          rename(pick(settled));
        }
        break;
      case Beat::BANNED_NEWCOMER:
        if (const std::optional<std::size_t> persona = idle_persona(true, false)) {
          join(true, new_session(*persona));
        }
        break;
      case Beat::DEPARTURE:
        if (welcome_count() > MIN_PLAYERS && !settled.empty()) {
          leave(pick(settled), 0);
        }
        break;
      case Beat::NONE:
        break;
    }
  }

  void event() {
    const auto kind = static_cast<Event>(between(0, static_cast<int>(Event::COUNT) - 1));
    const std::vector<int> active = active_slots();
    const bool room = welcome_count() < MAX_PLAYERS;
    const bool crowd = welcome_count() > MIN_PLAYERS;
    switch (kind) {
      case Event::JOIN:
        if (room) {
          join_idle(false);
        }
        break;
      case Event::LEAVE:
        // Half of those who leave only dropped and come back soon.
        if (crowd) {
          leave(pick(active),
                percent() < 50 ? between(RECONNECT_MIN_TICKS, RECONNECT_MAX_TICKS) : 0);
        }
        break;
      case Event::RENAME:
        if (!active.empty()) {
          rename(pick(active));
        }
        break;
      case Event::ZOMBIE:
        if (crowd) {
          turn_zombie(pick(active));
        }
        break;
      case Event::COME_BACK:
        // Much later, with a new connection.
        if (room) {
          join_idle(true);
        }
        break;
      case Event::COUNT:
        break;
    }
  }

  /// Takes the player off the server; it comes back `return_ticks` later on the same
  /// address, port and qport, or with 0 it is gone for good.
  void leave(int slot, int return_ticks) {
    server_.remove_player(slot);
    if (return_ticks > 0) {
      returning_.push_back({present_[slot], now_ + return_ticks});
    } else {
      departed_.push_back(present_[slot].persona);
    }
    present_.erase(slot);
    connecting_until_.erase(slot);
  }

  void turn_zombie(int slot) {
    std::optional<Player> player = server_.player(slot);
    if (!player) {
      return;
    }
    player->zombie = true;
    player->connecting = false;
    player->name.clear();
    server_.set_player(slot, *player);
    zombie_until_[slot] = now_ + ZOMBIE_TICKS;
    connecting_until_.erase(slot);
  }

  bool in_play(std::size_t persona) const {
    const auto same = [&](const Session& session) { return session.persona == persona; };
    return std::ranges::any_of(present_, [&](const auto& entry) { return same(entry.second); }) ||
           std::ranges::any_of(returning_, [&](const Return& back) { return same(back.session); });
  }

  static bool banned(std::size_t persona) {
    return std::string_view(PERSONAS[persona].ip).starts_with(BANNED_PREFIX);
  }

  /// Players on the server from outside the banned network, zombies left out.
  int welcome_count() const {
    return static_cast<int>(std::ranges::count_if(present_, [&](const auto& entry) {
      return !banned(entry.second.persona) && !zombie_until_.contains(entry.first);
    }));
  }

  /// A persona who is neither on the server nor on the way back, from the banned network or
  /// not: with `seen_before` one who was here before, else preferably one who never was.
  std::optional<std::size_t> idle_persona(bool from_banned, bool seen_before) {
    std::vector<std::size_t> seen;
    std::vector<std::size_t> unseen;
    for (std::size_t i = 0; i < PERSONAS.size(); ++i) {
      if (!in_play(i) && banned(i) == from_banned) {
        (std::ranges::find(departed_, i) != departed_.end() ? seen : unseen).push_back(i);
      }
    }
    const std::vector<std::size_t>& choice = seen_before || unseen.empty() ? seen : unseen;
    if (choice.empty()) {
      return std::nullopt;
    }
    const std::size_t persona = pick(choice);
    std::erase(departed_, persona);
    return persona;
  }

  Session new_session(std::size_t persona) {
    return {persona, between(1024, 65535), between(1, 65535), false};
  }

  /// A newcomer from outside the banned network, who connects slowly.
  void join_idle(bool seen_before) {
    if (const std::optional<std::size_t> persona = idle_persona(false, seen_before)) {
      join(true, new_session(*persona));
    }
  }

  /// Puts the session's player on the server; false when no slot is free.
  bool join(bool slowly, const Session& session) {
    const std::optional<int> slot = free_slot();
    if (!slot) {
      return false;
    }
    Player player;
    player.name = PERSONAS[session.persona].name;
    player.ip = PERSONAS[session.persona].ip;
    player.port = session.port;
    player.qport = session.qport;
    player.ping = between(15, 180);
    player.score = slowly ? 0 : between(0, 25);
    player.lastmsg = between(0, 99);
    player.connecting = slowly;
    player.userinfo = {{"skin", "soldier/green"},
                       {"rate", std::to_string(between(5, 25) * 1000)},
                       {"msg", "1"},
                       {"fov", "90"},
                       {"spectator", "0"}};
    server_.set_player(*slot, player);
    present_[*slot] = session;
    present_[*slot].since = now_;
    if (slowly) {
      connecting_until_[*slot] = now_ + between(4, 10);
    }
    return true;
  }

  void rename(int slot) {
    std::optional<Player> player = server_.player(slot);
    if (!player || player->zombie) {
      return;
    }
    const std::string base = PERSONAS[present_[slot].persona].name;
    if (player->name != base) {
      player->name = base;
    } else {
      player->name = base + RENAME_SUFFIXES[static_cast<std::size_t>(
                                between(0, static_cast<int>(RENAME_SUFFIXES.size()) - 1))];
    }
    server_.set_player(slot, *player);
  }

  SimServer& server_;
  std::mt19937 random_;
  long now_ = 0;                   // ticks since the start
  std::map<int, Session> present_;  // by slot
  std::vector<std::size_t> departed_;
  std::vector<Return> returning_;
  std::map<int, long> connecting_until_;
  std::map<int, long> zombie_until_;
};

DemoScript::DemoScript(SimServer& server, unsigned seed)
    : impl_(std::make_unique<Impl>(server, seed)) {}

DemoScript::~DemoScript() = default;

void DemoScript::start() {
  impl_->start();
}

void DemoScript::tick() {
  impl_->tick();
}

DemoScenario::DemoScenario(SimServer& server) : server_(server) {
  thread_ = std::thread([this] { run(); });
}

DemoScenario::~DemoScenario() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void DemoScenario::run() {
  DemoScript script(server_);
  script.start();
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, DemoScript::TICK, [this] { return stopping_; })) {
    lock.unlock();
    script.tick();
    lock.lock();
  }
}

}  // namespace drav_sim
