// The remote console link. Every command is one UDP datagram to the game server; its answer
// arrives as one or more "print" datagrams whose texts are joined into one reply. The main
// socket carries every command except the per-player details requests, which each use the
// socket of their player slot so that a late details answer can never join a status reply.
#include "drav_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "drav_config.h"
#include "drav_log.h"

namespace {

/// Owns one socket descriptor; closes it when the handle goes.
class SocketHandle {
 public:
  SocketHandle() = default;
  explicit SocketHandle(int descriptor) : descriptor_(descriptor) {}
  ~SocketHandle() {
    if (descriptor_ >= 0) {
      ::close(descriptor_);
    }
  }
  SocketHandle(SocketHandle&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
  SocketHandle& operator=(SocketHandle&& other) noexcept {
    if (this != &other) {
      SocketHandle old(std::exchange(descriptor_, std::exchange(other.descriptor_, -1)));
    }
    return *this;
  }
  SocketHandle(const SocketHandle&) = delete;
  SocketHandle& operator=(const SocketHandle&) = delete;

  bool is_open() const { return descriptor_ >= 0; }
  int get() const { return descriptor_; }
  /// Closes the descriptor now; false when the system reports a failure. The handle is empty
  /// afterwards either way, since the descriptor is released even by a failed close.
  bool close() {
    if (descriptor_ < 0) {
      return true;
    }
    return ::close(std::exchange(descriptor_, -1)) == 0;
  }

 private:
  int descriptor_ = -1;
};

// Header of every command datagram.
constexpr char kOutOfBandHeader[] = "\xFF\xFF\xFF\xFF";
constexpr std::size_t kOutOfBandHeaderSize = sizeof(kOutOfBandHeader) - 1;
// The "rcon" text of a command datagram is cut here.
constexpr std::size_t kMaxCommandText = 2048;
// Bytes read per reply datagram; a longer one is cut by the read.
constexpr std::size_t kMaxReplyDatagram = 2052;
// A reply datagram of at least this size may carry the "print" header (4 + "print" + 1).
constexpr std::size_t kPrintHeaderSize = 10;
// Delivery time assumed when select saw the datagram already waiting.
constexpr long long kMinimumDeliveryMs = 10;

const ts_config* gpts_config = nullptr;
sockaddr_in go_remote_address{};
SocketHandle go_socket_main;
std::array<SocketHandle, NET_SLOT_SOCKETS> gao_socket_dumpuser;

/// Opens a non-blocking UDP socket, bound to net_client_port + `port_offset` (16 bits) when
/// net_client_port is not 0. Every failure is fatal.
SocketHandle r_dravnet_create_socket(int port_offset) {
  SocketHandle socket_handle(::socket(AF_INET, SOCK_DGRAM, 0));
  // select cannot watch a descriptor beyond its fixed set.
  if (!socket_handle.is_open() || socket_handle.get() >= FD_SETSIZE) {
    r_dravlog_error("./src/drav_net - Unable to create socket\n");
  }
  if (gpts_config->net_client_port != 0) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port =
        htons(static_cast<std::uint16_t>(static_cast<std::uint32_t>(gpts_config->net_client_port) +
                                         static_cast<std::uint32_t>(port_offset)));
    if (::bind(socket_handle.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      r_dravlog_error("./src/drav_net - Unable to bind local settings to socket\n");
    }
  }
  const int flags = ::fcntl(socket_handle.get(), F_GETFL, 0);
  if (flags < 0 || ::fcntl(socket_handle.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
    r_dravlog_error("./src/drav_net - Unable to set socket to non-blocking\n");
  }
  return socket_handle;
}

/// The socket of `socket_index`: the main one for -1 (and anything outside 0..31), else the
/// slot's, opened now if it is not open yet.
int r_dravnet_select_socket(int socket_index) {
  if (socket_index < 0 || socket_index >= NET_SLOT_SOCKETS) {
    return go_socket_main.get();
  }
  SocketHandle& slot = gao_socket_dumpuser[static_cast<std::size_t>(socket_index)];
  if (!slot.is_open()) {
    slot = r_dravnet_create_socket(socket_index + 1);
  }
  return slot.get();
}

/// Throws away every datagram already waiting, such as the rest of an earlier reply. A flood
/// of datagrams must not hold the program here forever, so the drain gives up after a
/// generous number of them; whatever follows is parsed as untrusted text anyway.
void r_dravnet_drain(int socket_descriptor) {
  constexpr int kMaxDrained = 4096;
  std::array<char, kMaxReplyDatagram> discard;
  for (int drained = 0; drained < kMaxDrained; ++drained) {
    if (::recv(socket_descriptor, discard.data(), discard.size(), MSG_DONTWAIT) < 0) {
      return;
    }
  }
}

/// Four 0xFF bytes, "rcon <password> <command>" cut at 2048 bytes, and a NUL.
std::string r_dravnet_build_datagram(std::string_view command) {
  std::string text = "rcon ";
  text += gpts_config->net_server_rcon;
  text += ' ';
  text += command;
  if (text.size() > kMaxCommandText) {
    text.resize(kMaxCommandText);
  }
  std::string datagram(kOutOfBandHeader, kOutOfBandHeaderSize);
  datagram += text;
  datagram += '\0';
  return datagram;
}

void r_dravnet_send_datagram(int socket_descriptor, const std::string& datagram) {
  const ssize_t sent =
      ::sendto(socket_descriptor, datagram.data(), datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(&go_remote_address), sizeof go_remote_address);
  if (sent < 0 || static_cast<std::size_t>(sent) != datagram.size()) {
    r_dravlog_error("./src/drav_net - Unable to send\n");
  }
}

/// The text a reply datagram carries: the header dropped (10 bytes for a "print" datagram,
/// else 4; the header bytes themselves are not trusted to be 0xFF), up to the first NUL.
std::string_view r_dravnet_datagram_text(const char* data, std::size_t size) {
  if (size < kOutOfBandHeaderSize) {
    return {};
  }
  const bool is_print =
      size >= kPrintHeaderSize && std::memcmp(data + kOutOfBandHeaderSize, "print", 5) == 0;
  const std::size_t skip = is_print ? kPrintHeaderSize : kOutOfBandHeaderSize;
  std::string_view text(data + skip, size - skip);
  return text.substr(0, text.find('\0'));
}

/// Waits at most `wait_ms` for the socket to become readable. Returns whether it did and
/// stores how long the wait lasted (never below 10 ms) in `measured_ms`.
bool r_dravnet_wait_readable(int socket_descriptor, long long wait_ms, long long& measured_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket_descriptor, &readable);
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(wait_ms / 1000);
  timeout.tv_usec = static_cast<suseconds_t>((wait_ms % 1000) * 1000);
  const int ready = ::select(socket_descriptor + 1, &readable, nullptr, nullptr, &timeout);
  // The system lowers the time-out by the time the wait took.
  const long long left_ms = static_cast<long long>(timeout.tv_sec) * 1000 +
                            static_cast<long long>(timeout.tv_usec) / 1000;
  measured_ms = wait_ms - left_ms;
  if (measured_ms <= 0) {
    measured_ms = kMinimumDeliveryMs;
  }
  return ready > 0;
}

/// Joins the texts of the reply datagrams until `datagrams` (> 0) arrived or a wait runs out.
std::optional<std::string> r_dravnet_collect(int socket_descriptor, int datagrams) {
  std::optional<std::string> reply;
  long long wait_ms = gpts_config->net_response_timeout_1;
  int received = 0;
  std::array<char, kMaxReplyDatagram> buffer;
  for (;;) {
    long long measured_ms = 0;
    if (!r_dravnet_wait_readable(socket_descriptor, wait_ms, measured_ms)) {
      return reply;
    }
    const ssize_t size = ::recv(socket_descriptor, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (size <= 0) {
      return reply;
    }
    ++received;
    // Without a fixed wait the reply ends about three delivery times after its last datagram.
    wait_ms = gpts_config->net_response_timeout_next > 0 ? gpts_config->net_response_timeout_next
                                                         : 3 * measured_ms;
    if (!reply) {
      reply.emplace();
    }
    reply->append(r_dravnet_datagram_text(buffer.data(), static_cast<std::size_t>(size)));
    if (datagrams > 0 && received >= datagrams) {
      return reply;
    }
  }
}

}  // namespace

void r_dravnet_init(const ts_config& config) {
  gpts_config = &config;
  go_remote_address = sockaddr_in{};
  go_remote_address.sin_family = AF_INET;
  go_remote_address.sin_port = htons(static_cast<std::uint16_t>(config.net_server_port));
  go_remote_address.sin_addr.s_addr = htonl(static_cast<std::uint32_t>(config.net_server_ip));
  for (SocketHandle& slot : gao_socket_dumpuser) {
    slot = SocketHandle();
  }
  go_socket_main = r_dravnet_create_socket(0);
}

std::optional<std::string> r_dravnet_send_command(std::string_view command, int datagrams,
                                                  int socket_index) {
  // The command is a C text for the server: it ends at its first NUL.
  command = command.substr(0, command.find('\0'));
  if (command.empty() || gpts_config == nullptr) {
    return std::nullopt;
  }
  const int socket_descriptor = r_dravnet_select_socket(socket_index);
  r_dravnet_drain(socket_descriptor);
  r_dravnet_send_datagram(socket_descriptor, r_dravnet_build_datagram(command));
  if (datagrams == 0) {
    return std::nullopt;
  }
  return r_dravnet_collect(socket_descriptor, datagrams);
}

void r_dravnet_finish() {
  if (!go_socket_main.close()) {
    r_dravlog_error("./src/drav_net - Unable to close socket\n");
  }
  for (SocketHandle& slot : gao_socket_dumpuser) {
    if (!slot.close()) {
      r_dravlog_error("./src/drav_net - Unable to close socket\n");
    }
  }
}
