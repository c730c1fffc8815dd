#include "sim_demo.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim_server.h"

namespace drav_sim {

namespace {

using Clock = std::chrono::steady_clock;

// One tick of the scenario; an event happens on about every third tick, so that a screen
// polling every 1 to 2 seconds sees something new on most polls.
constexpr auto TICK = std::chrono::milliseconds(500);
constexpr int EVENT_PERCENT = 35;
constexpr int MIN_PLAYERS = 4;
constexpr int MAX_PLAYERS = 20;
constexpr int INITIAL_PLAYERS = 8;

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

class Scenario {
 public:
  explicit Scenario(SimServer& server) : server_(server) {}

  void start() {
    for (int i = 0; i < INITIAL_PLAYERS; ++i) {
      join(false, std::nullopt);
    }
  }

  void tick() {
    const auto now = Clock::now();
    follow_server();
    finish_timers(now);
    jitter_players();
    if (percent() < EVENT_PERCENT) {
      event(now);
    }
  }

 private:
  int percent() { return std::uniform_int_distribution<int>(0, 99)(random_); }
  int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  std::optional<int> free_slot() {
    std::vector<int> free;
    for (int slot = 0; slot < SIM_MAX_CLIENTS; ++slot) {
      if (!server_.player(slot)) {
        free.push_back(slot);
      }
    }
    if (free.empty()) {
      return std::nullopt;
    }
    // Mostly the lowest free slot, as a real server hands them out, sometimes another.
    return percent() < 70
               ? free.front()
               : free[static_cast<std::size_t>(between(0, static_cast<int>(free.size()) - 1))];
  }

  std::vector<int> active_slots() const {
    std::vector<int> slots;
    for (const auto& [slot, persona] : present_) {
      if (!zombie_until_.contains(slot)) {
        slots.push_back(slot);
      }
    }
    return slots;
  }

  int random_active(const std::vector<int>& slots) {
    return slots[static_cast<std::size_t>(between(0, static_cast<int>(slots.size()) - 1))];
  }

  /// Forgets players that the server dropped on its own, such as those kicked by the operator.
  void follow_server() {
    for (auto it = present_.begin(); it != present_.end();) {
      if (server_.player(it->first)) {
        ++it;
        continue;
      }
      departed_.push_back(it->second);
      connecting_until_.erase(it->first);
      zombie_until_.erase(it->first);
      it = present_.erase(it);
    }
  }

  void finish_timers(Clock::time_point now) {
    for (auto it = connecting_until_.begin(); it != connecting_until_.end();) {
      if (it->second <= now) {
        if (std::optional<Player> player = server_.player(it->first); player && !player->zombie) {
          player->connecting = false;
          player->ping = between(15, 180);
          server_.set_player(it->first, *player);
        }
        it = connecting_until_.erase(it);
      } else {
        ++it;
      }
    }
    for (auto it = zombie_until_.begin(); it != zombie_until_.end();) {
      if (it->second <= now) {
        server_.remove_player(it->first);
        if (const auto persona = present_.find(it->first); persona != present_.end()) {
          departed_.push_back(persona->second);
          present_.erase(persona);
        }
        it = zombie_until_.erase(it);
      } else {
        ++it;
      }
    }
  }

  void jitter_players() {
    for (const auto& [slot, persona] : present_) {
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

  void event(Clock::time_point now) {
    const auto kind = static_cast<Event>(between(0, static_cast<int>(Event::COUNT) - 1));
    const std::vector<int> active = active_slots();
    const int count = static_cast<int>(present_.size());
    switch (kind) {
      case Event::JOIN:
        if (count < MAX_PLAYERS) {
          join(true, std::nullopt);
        }
        break;
      case Event::LEAVE:
        if (static_cast<int>(active.size()) > MIN_PLAYERS) {
          const int slot = random_active(active);
          server_.remove_player(slot);
          departed_.push_back(present_[slot]);
          present_.erase(slot);
          connecting_until_.erase(slot);
        }
        break;
      case Event::RENAME:
        if (!active.empty()) {
          rename(random_active(active));
        }
        break;
      case Event::ZOMBIE:
        if (static_cast<int>(active.size()) > MIN_PLAYERS) {
          const int slot = random_active(active);
          if (std::optional<Player> player = server_.player(slot)) {
            player->zombie = true;
            player->connecting = false;
            player->name.clear();
            server_.set_player(slot, *player);
            zombie_until_[slot] = now + std::chrono::seconds(2);
            connecting_until_.erase(slot);
          }
        }
        break;
      case Event::COME_BACK:
        if (!departed_.empty() && count < MAX_PLAYERS) {
          const auto index =
              static_cast<std::size_t>(between(0, static_cast<int>(departed_.size()) - 1));
          const std::size_t persona = departed_[index];
          departed_.erase(departed_.begin() + static_cast<std::ptrdiff_t>(index));
          join(true, persona);
        }
        break;
      case Event::COUNT:
        break;
    }
  }

  std::optional<std::size_t> unused_persona() {
    std::vector<std::size_t> unused;
    for (std::size_t i = 0; i < PERSONAS.size(); ++i) {
      const bool in_use = std::any_of(present_.begin(), present_.end(),
                                      [&](const auto& entry) { return entry.second == i; });
      const bool gone = std::find(departed_.begin(), departed_.end(), i) != departed_.end();
      if (!in_use && !gone) {
        unused.push_back(i);
      }
    }
    if (unused.empty()) {
      return std::nullopt;
    }
    return unused[static_cast<std::size_t>(between(0, static_cast<int>(unused.size()) - 1))];
  }

  void join(bool slowly, std::optional<std::size_t> persona) {
    if (!persona) {
      persona = unused_persona();
    }
    const std::optional<int> slot = free_slot();
    if (!persona || !slot) {
      return;
    }
    Player player;
    player.name = PERSONAS[*persona].name;
    player.ip = PERSONAS[*persona].ip;
    player.port = between(1024, 65535);
    player.qport = between(1, 65535);
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
    present_[*slot] = *persona;
    if (slowly) {
      connecting_until_[*slot] = Clock::now() + std::chrono::milliseconds(between(2000, 5000));
    }
  }

  void rename(int slot) {
    std::optional<Player> player = server_.player(slot);
    if (!player || player->zombie) {
      return;
    }
    const std::string base = PERSONAS[present_[slot]].name;
    if (player->name != base) {
      player->name = base;
    } else {
      player->name = base + RENAME_SUFFIXES[static_cast<std::size_t>(
                                between(0, static_cast<int>(RENAME_SUFFIXES.size()) - 1))];
    }
    server_.set_player(slot, *player);
  }

  SimServer& server_;
  std::mt19937 random_{7};
  std::map<int, std::size_t> present_;  // slot -> persona
  std::vector<std::size_t> departed_;
  std::map<int, Clock::time_point> connecting_until_;
  std::map<int, Clock::time_point> zombie_until_;
};

}  // namespace

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
  Scenario scenario(server_);
  scenario.start();
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, TICK, [this] { return stopping_; })) {
    lock.unlock();
    scenario.tick();
    lock.lock();
  }
}

}  // namespace drav_sim
