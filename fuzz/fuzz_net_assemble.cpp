// Reply assembly from any datagrams, senders and times: within bounds, never from strangers.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "drav_net.h"
#include "fuzz_support.h"

namespace {

constexpr std::uint32_t SERVER = 0x7F000001;
constexpr std::uint16_t PORT = 27910;
// Senders a datagram may come from: the server, this machine, another port, anyone.
constexpr std::uint32_t ADDRESSES[] = {SERVER, 0x7F000002, 0xC0000201, 0xCB007101};
constexpr std::uint16_t PORTS[] = {PORT, 27911};

}  // namespace

// Input: wanted datagrams (signed byte), first and next wait (2 bytes each), server choice (1),
// then per datagram sender (1), delay ms (2), length (2) and bytes; little-endian, zeros past end.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto number = [&input](int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes && !input.empty(); ++i, input.remove_prefix(1))
      value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(input[0])) << (8 * i);
    return value;
  };
  ts_net_collect collect;
  collect.i_datagrams = static_cast<std::int8_t>(number(1));
  collect.i_first_wait_ms = number(2);
  collect.i_next_wait_ms = static_cast<std::int16_t>(number(2));
  const ts_net_server server{(number(1) & 1) != 0 ? 0 : SERVER, PORT, {0xC0000201}};

  std::vector<ts_net_datagram> datagrams;
  std::int64_t at = 0;
  bool server_sent = false;
  while (!input.empty()) {
    const std::uint32_t sender = number(1);
    at += number(2);
    const std::string_view bytes = input.substr(0, number(2) % 4096);
    input.remove_prefix(bytes.size());
    datagrams.push_back({ADDRESSES[sender % 4], PORTS[(sender / 4) % 2], bytes, at});
    server_sent = server_sent || datagrams.back().i_port == PORT;
  }
  const std::optional<std::string> reply = r_dravnet_assemble_reply(datagrams, server, collect);
  FUZZ_CHECK(!reply || (reply->size() <= NET_REPLY_MAX_BYTES &&
                        reply->find('\0') == std::string::npos && server_sent));
  return 0;
}
