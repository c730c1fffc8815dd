// The network between the simulated server and its clients, as rough as a real one: reply
// datagrams lost, cut short, doubled, reordered, and replies split at any byte. All of it is
// drawn from one generator with a fixed seed, so a run can be repeated exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sim_server.h"

namespace drav_sim {

// Header of every reply datagram.
inline constexpr std::string_view PRINT_HEADER = "\xFF\xFF\xFF\xFFprint\n";
// The server collects console output in a buffer of this size; one byte stays for its NUL.
inline constexpr std::size_t OUTPUT_BUFFER_SIZE = 1384;
inline constexpr std::size_t MAX_DATAGRAM_TEXT = OUTPUT_BUFFER_SIZE - 1;

/// One datagram on its way to a client.
struct WireDatagram {
  std::string bytes;
  bool held_back = false;  // goes out only right after the next datagram to the same address
};

/// Applies the link faults of Faults (the percentages and split_anywhere) to replies.
class RoughLink {
 public:
  /// Starts the draws anew.
  void reseed(std::uint32_t seed) { random_.seed(seed); }

  /// The datagrams of one reply, each with its header, as the link carries them, in sending
  /// order. A link without faults carries the reply unchanged and draws nothing.
  std::vector<WireDatagram> carry(std::vector<std::string> reply, const Faults& faults);

 private:
  std::vector<std::string> split_anywhere(const std::vector<std::string>& reply);
  bool chance(int percent);
  std::size_t below(std::size_t bound);

  std::mt19937 random_{1};
};

}  // namespace drav_sim
