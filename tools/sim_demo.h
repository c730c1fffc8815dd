// The lively demo scenario of the simulated game server: a thread that changes the player
// table over time through the server's public interface.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace drav_sim {

class SimServer;

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
