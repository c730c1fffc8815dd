#include "sim_link.h"

#include <utility>

namespace drav_sim {

std::vector<WireDatagram> RoughLink::carry(std::vector<std::string> reply, const Faults& faults) {
  if (faults.split_anywhere) {
    reply = split_anywhere(reply);
  }
  std::vector<WireDatagram> wire;
  for (std::string& datagram : reply) {
    if (chance(faults.lose_percent)) {
      continue;
    }
    // Anywhere, the header included: a client must cope with a datagram of any length.
    if (chance(faults.cut_percent) && !datagram.empty()) {
      datagram.resize(below(datagram.size()));
    }
    const int copies = chance(faults.double_percent) ? 2 : 1;
    for (int copy = 0; copy < copies; ++copy) {
      wire.push_back({datagram, chance(faults.reorder_percent)});
    }
  }
  return wire;
}

// A real server's buffer fills at whatever byte its prints reach, so a reply may be split
// inside a line, a name or a number. Each datagram here carries between half the buffer and
// all of it. Replies made of other bytes (an override's, garbage) keep their exact datagrams.
std::vector<std::string> RoughLink::split_anywhere(const std::vector<std::string>& reply) {
  std::string text;
  for (const std::string& datagram : reply) {
    if (!datagram.starts_with(PRINT_HEADER)) {
      return reply;
    }
    text.append(datagram, PRINT_HEADER.size());
  }
  std::vector<std::string> datagrams;
  std::size_t start = 0;
  do {
    const std::size_t size = MAX_DATAGRAM_TEXT - below(MAX_DATAGRAM_TEXT / 2);
    datagrams.push_back(std::string(PRINT_HEADER) + text.substr(start, size));
    start += size;
  } while (start < text.size());
  return datagrams;
}

// No draw for a fault that is off, so that a clean link leaves the generator where it was.
bool RoughLink::chance(int percent) {
  return percent > 0 && std::uniform_int_distribution<int>(0, 99)(random_) < percent;
}

std::size_t RoughLink::below(std::size_t bound) {
  return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_);
}

}  // namespace drav_sim
