// The lively demo scenario of the simulated game server: a script that changes the player
// table tick by tick through the server's public interface, and a thread that runs it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace drav_sim {

class SimServer;

/// The demo's players, one tick at a time. Besides random joins, departures, renames, slow
/// connections, zombies and returns, every cycle brings a newcomer, a player who drops and
/// comes back on the same address, port and qport a few seconds later, a rename, a newcomer
/// from 203.0.113.0/24 (the network the demo's access list bans) and a departure. A player
/// kicked while the scenario had it on the server (the operator's kick, or the monitor's
/// kick of a blocked player) comes back once, a few seconds later, on the same address, port
/// and qport. Its clock is the tick count, so that a test can step it as fast as it likes.
class DemoScript {
 public:
  /// The time one tick stands for.
  static constexpr std::chrono::milliseconds TICK{500};
  /// Ticks of one cycle of the scripted events.
  static constexpr int CYCLE_TICKS = 60;

  /// Acts on `server`, which must outlive the script; `seed` drives the random events.
  explicit DemoScript(SimServer& server, unsigned seed = 7);
  ~DemoScript();
  DemoScript(const DemoScript&) = delete;
  DemoScript& operator=(const DemoScript&) = delete;

  /// Puts the first players on the server.
  void start();
  /// Moves the scenario on by one tick.
  void tick();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

/// Runs the demo script on a thread of its own, one tick every DemoScript::TICK.
class DemoScenario {
 public:
  /// Starts changing the players of `server`, which must outlive this object.
  explicit DemoScenario(SimServer& server);
  /// Stops the thread.
  ~DemoScenario();
  DemoScenario(const DemoScenario&) = delete;
  DemoScenario& operator=(const DemoScenario&) = delete;

 private:
  void run();

  SimServer& server_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace drav_sim
