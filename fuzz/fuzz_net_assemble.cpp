// The transport's reply assembly from received datagrams: any datagrams from any senders at
// any times must give a reply within its bounds, never more, and never crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "drav_net.h"

namespace {

constexpr std::uint32_t SERVER = 0x7F000001;
constexpr std::uint16_t PORT = 27910;
// Senders a datagram may come from: the server, this machine, another port, anyone.
constexpr std::uint32_t ADDRESSES[] = {SERVER, 0x7F000002, 0xC0000201, 0xCB007101};
constexpr std::uint16_t PORTS[] = {PORT, 27911};

// Reads little-endian numbers and byte runs from the input; zeros past its end.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return position_ >= size_; }
  std::uint32_t number(int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
      value |= static_cast<std::uint32_t>(empty() ? 0 : data_[position_++]) << (8 * i);
    }
    return value;
  }
  std::string_view bytes(std::size_t count) {
    count = std::min(count, size_ - std::min(position_, size_));
    const std::string_view run(reinterpret_cast<const char*>(data_) + position_, count);
    position_ += count;
    return run;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

}  // namespace

// Input: wanted datagrams (signed byte), first and next wait (2 bytes each), the server
// address choice (1 byte), then per datagram: sender (1 byte), delay after the previous one
// in ms (2 bytes), length (2 bytes) and the bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  ts_net_collect collect;
  collect.datagrams = static_cast<std::int8_t>(input.number(1));
  collect.first_wait_ms = input.number(2);
  collect.next_wait_ms = static_cast<std::int16_t>(input.number(2));
  ts_net_server server;
  server.ip = (input.number(1) & 1) != 0 ? 0 : SERVER;
  server.port = PORT;
  server.local_addresses = {0xC0000201};

  std::vector<ts_net_datagram> datagrams;
  std::int64_t at = 0;
  while (!input.empty()) {
    const std::uint32_t sender = input.number(1);
    at += input.number(2);
    const std::size_t length = input.number(2) % 4096;
    datagrams.push_back({ADDRESSES[sender % 4], PORTS[(sender / 4) % 2], input.bytes(length), at});
  }
  const std::optional<std::string> reply = r_dravnet_assemble_reply(datagrams, server, collect);
  if (reply && (reply->size() > NET_REPLY_MAX_BYTES || reply->find('\0') != std::string::npos)) {
    std::abort();
  }
  bool server_sent = false;
  for (const ts_net_datagram& datagram : datagrams) {
    server_sent = server_sent || datagram.port == PORT;
  }
  if (reply && !server_sent) {
    std::abort();  // a reply made of strangers' datagrams
  }
  return 0;
}
