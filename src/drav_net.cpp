// The remote console link. Every command is one UDP datagram to the game server; its answer
// arrives as one or more "print" datagrams whose texts are joined into one reply. The main
// socket carries every command except the per-player details requests, which each use the
// socket of their player slot so that a late details answer can never join a status reply.
// Anyone can send datagrams to these ports: a reply takes only the server's, and it is
// bounded in datagrams, bytes and time.
#include "drav_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "drav_config.h"
#include "drav_log.h"
#include "drav_tools.h"

namespace {

// Header of every command datagram.
constexpr char OUT_OF_BAND_HEADER[] = "\xFF\xFF\xFF\xFF";
constexpr std::size_t OUT_OF_BAND_HEADER_SIZE = sizeof(OUT_OF_BAND_HEADER) - 1;
// The "rcon" text of a command datagram is cut here. A limit of the protocol; the
// configuration reader's line buffer (drav_config) is another quantity, of the same size by
// chance.
constexpr std::size_t MAX_COMMAND_TEXT = 2048;
// Bytes read per reply datagram, more than a server of this kind sends in one (at most 1393);
// a longer one is cut by the read, and the reply it belongs to is marked as cut.
constexpr std::size_t MAX_REPLY_DATAGRAM = 2052;
// A reply datagram of at least this size may carry the "print" header (4 + "print" + 1).
constexpr std::size_t PRINT_HEADER_SIZE = 10;
// The formatted announcement, and its "say" command, are cut at 511 bytes.
constexpr std::size_t NET_SAY_BUFFER_SIZE = 512;
// Delivery time assumed when the datagram was already waiting.
constexpr std::int64_t MINIMUM_DELIVERY_MS = 10;

const ts_config* gpts_config = nullptr;
sockaddr_in go_remote_address{};
// Who may answer on the sockets.
ts_net_server go_server;
ts_file_descriptor go_socket_main;
std::array<ts_file_descriptor, NET_SLOT_SOCKETS> gao_socket_dumpuser;
// The last send failed and that was told; told again only after a send worked.
bool gb_send_failing = false;
// Set by a signal handler when the program is to end; the signals whose handlers set it.
const volatile std::sig_atomic_t* gpb_quit = nullptr;
sigset_t go_quit_signals{};

/// The local port of the socket `port_offset` after the main socket's (16-bit arithmetic).
std::uint16_t r_dravnet_local_port(int port_offset) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(gpts_config->net_client_port) +
                                    static_cast<std::uint32_t>(port_offset));
}

/// Opens a non-blocking UDP socket, bound to net_client_port + `port_offset` (16 bits) when
/// net_client_port is not 0. Every failure is fatal.
ts_file_descriptor r_dravnet_create_socket(int port_offset) {
  ts_file_descriptor socket_handle(::socket(AF_INET, SOCK_DGRAM, 0));
  if (!socket_handle) {
    r_dravlog_error("./src/drav_net - Unable to create socket\n");
  }
  if (gpts_config->net_client_port != 0) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(r_dravnet_local_port(port_offset));
    if (::bind(socket_handle.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      // The operator needs the port to find the program that holds it.
      const int error = errno;
      r_dravlog_error(
          "./src/drav_net - Unable to bind local settings to socket (UDP port %u: %s)\n",
          static_cast<unsigned>(r_dravnet_local_port(port_offset)), std::strerror(error));
    }
  }
  const int flags = ::fcntl(socket_handle.get(), F_GETFL, 0);
  if (flags < 0 || ::fcntl(socket_handle.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
    r_dravlog_error("./src/drav_net - Unable to set socket to non-blocking\n");
  }
  return socket_handle;
}

/// The socket of `socket_index`: the main one for -1 (and anything outside 0..255), else the
/// slot's.
int r_dravnet_select_socket(int socket_index) {
  if (socket_index < 0 || socket_index >= NET_SLOT_SOCKETS) {
    return go_socket_main.get();
  }
  return gao_socket_dumpuser[static_cast<std::size_t>(socket_index)].get();
}

/// Throws away every datagram already waiting, such as the rest of an earlier reply. A flood
/// of datagrams must not hold the program here forever, so the drain gives up after a
/// generous number of them; strangers' datagrams that follow are dropped by the collection.
void r_dravnet_drain(int socket_descriptor) {
  constexpr int MAX_DRAINED = 4096;
  std::array<char, MAX_REPLY_DATAGRAM> discard;
  for (int drained = 0; drained < MAX_DRAINED; ++drained) {
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
  if (text.size() > MAX_COMMAND_TEXT) {
    text.resize(MAX_COMMAND_TEXT);
  }
  std::string datagram(OUT_OF_BAND_HEADER, OUT_OF_BAND_HEADER_SIZE);
  datagram += text;
  datagram += '\0';
  return datagram;
}

// Sends one datagram; false when the system refused it. A route to the server that is gone
// for a moment (a link down, an address being renewed) must not end the monitoring: the
// failure is told once, the command gets no reply, and the next poll sends again.
bool r_dravnet_send_datagram(int socket_descriptor, const std::string& datagram,
                             std::string_view command) {
  const ssize_t sent =
      ::sendto(socket_descriptor, datagram.data(), datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(&go_remote_address), sizeof go_remote_address);
  if (sent >= 0 && static_cast<std::size_t>(sent) == datagram.size()) {
    if (gb_send_failing) {
      gb_send_failing = false;
      r_dravlog_warn("Net    Sending to the server works again\n");
    }
    return true;
  }
  if (!gb_send_failing) {
    gb_send_failing = true;
    // Only the command's first word: the rest may be a long announcement.
    const std::string word(command.substr(0, command.find(' ')));
    r_dravlog_warn("Net    Unable to send \"%s\" to the server (%s): the monitor goes on and "
                   "sends again at the next step\n",
                   word.c_str(), sent < 0 ? std::strerror(errno) : "datagram cut short");
  }
  return false;
}

/// The text a reply datagram carries: the header dropped (10 bytes for a "print" datagram,
/// else 4; the header bytes themselves are not trusted to be 0xFF), up to the first NUL.
std::string_view r_dravnet_datagram_text(const char* data, std::size_t size) {
  if (size < OUT_OF_BAND_HEADER_SIZE) {
    return {};
  }
  const bool is_print =
      size >= PRINT_HEADER_SIZE && std::memcmp(data + OUT_OF_BAND_HEADER_SIZE, "print", 5) == 0;
  const std::size_t skip = is_print ? PRINT_HEADER_SIZE : OUT_OF_BAND_HEADER_SIZE;
  std::string_view text(data + skip, size - skip);
  return text.substr(0, text.find('\0'));
}

std::int64_t r_dravnet_clamp_wait(std::int64_t wait_ms) {
  return std::clamp<std::int64_t>(wait_ms, 0, INT32_MAX);
}

bool r_dravnet_from_server(const ts_net_server& server, std::uint32_t ip, std::uint16_t port) {
  if (port != server.i_port) {
    return false;
  }
  if (server.i_ip != 0) {
    return ip == server.i_ip;
  }
  return (ip >> 24) == 127 ||
         std::ranges::find(server.ai_local_addresses, ip) != server.ai_local_addresses.end();
}

/// One reply being joined from the datagrams the socket delivers. Anyone can send datagrams
/// to our ports: only the server's count, and every wait keeps its end, so a stream from
/// elsewhere can neither join nor prolong a reply.
class ts_reply_assembly {
 public:
  ts_reply_assembly(const ts_net_server& server, const ts_net_collect& collect)
      : ts_server(server),
        ts_collect(collect),
        i_deadline_ms(r_dravnet_clamp_wait(collect.i_first_wait_ms)) {}

  /// When the current wait ends, in milliseconds after sending.
  std::int64_t deadline_ms() const { return i_deadline_ms; }
  bool done() const { return b_done; }
  /// True when a bound stopped the reply: its datagrams or bytes, or its time while the server
  /// would still have been waited for.
  bool bounded() const { return b_bounded || (!b_done && b_time_capped); }
  std::optional<ts_net_reply> take() {
    if (pc_reply) {
      pc_reply->b_bounded = bounded();
    }
    return std::move(pc_reply);
  }

  void add(const ts_net_datagram& datagram) {
    if (b_done || !r_dravnet_from_server(ts_server, datagram.i_ip, datagram.i_port)) {
      return;
    }
    if (datagram.o_bytes.empty()) {
      b_done = true;  // an empty datagram ends the reply as a failed read does
      return;
    }
    const std::int64_t arrival = std::clamp(datagram.i_arrival_ms, i_wait_start_ms, i_deadline_ms);
    // How long the wait for this datagram lasted; one already waiting counts as 10 ms.
    std::int64_t measured_ms = arrival - i_wait_start_ms;
    if (measured_ms <= 0) {
      measured_ms = MINIMUM_DELIVERY_MS;
    }
    if (i_received++ == 0) {
      i_first_arrival_ms = arrival;
    }
    i_wait_start_ms = arrival;
    // Without a fixed wait the reply ends about three delivery times after its last datagram.
    const std::int64_t next_wait_ms = ts_collect.i_next_wait_ms > 0
                                          ? r_dravnet_clamp_wait(ts_collect.i_next_wait_ms)
                                          : 3 * measured_ms;
    i_deadline_ms = std::min(arrival + next_wait_ms, i_first_arrival_ms + NET_REPLY_MAX_MS);
    b_time_capped = i_deadline_ms < arrival + next_wait_ms;

    const std::string_view bytes = datagram.o_bytes.substr(0, MAX_REPLY_DATAGRAM);
    const std::string_view text = r_dravnet_datagram_text(bytes.data(), bytes.size());
    if (!pc_reply) {
      pc_reply.emplace();
    }
    std::string& joined = pc_reply->o_text;
    joined.append(text.substr(0, NET_REPLY_MAX_BYTES - joined.size()));
    pc_reply->i_datagrams = i_received;
    pc_reply->b_cut = pc_reply->b_cut || datagram.b_cut || datagram.o_bytes.size() > bytes.size();
    b_bounded = (ts_collect.i_datagrams <= 0 || i_received < ts_collect.i_datagrams) &&
                (i_received >= NET_REPLY_MAX_DATAGRAMS || joined.size() >= NET_REPLY_MAX_BYTES);
    b_done = (ts_collect.i_datagrams > 0 && i_received >= ts_collect.i_datagrams) || b_bounded;
  }

 private:
  const ts_net_server& ts_server;
  ts_net_collect ts_collect;
  std::int64_t i_deadline_ms;
  std::int64_t i_wait_start_ms = 0;
  std::int64_t i_first_arrival_ms = 0;
  int i_received = 0;
  bool b_done = false;
  bool b_bounded = false;
  bool b_time_capped = false;
  std::optional<ts_net_reply> pc_reply;
};

/// Waits up to `wait_ms` for a datagram on the socket, as poll does; nothing when a quit is
/// requested, before or during the wait. The quit signals are held back from the look at the
/// flag until the wait begins, which lets them in: one that comes in between ends the wait.
std::optional<int> r_dravnet_wait_readable(int socket_descriptor, std::int64_t wait_ms) {
  constexpr std::int64_t MS_PER_SECOND = 1000;
  constexpr std::int64_t NS_PER_MS = 1000000;
  sigset_t before;
  (void)::pthread_sigmask(SIG_BLOCK, &go_quit_signals, &before);
  std::optional<int> ready;
  if (!r_dravnet_quitting()) {
    pollfd watched{socket_descriptor, POLLIN, 0};
    const timespec wait{static_cast<time_t>(wait_ms / MS_PER_SECOND),
                        static_cast<long>(wait_ms % MS_PER_SECOND * NS_PER_MS)};
    ready = ::ppoll(&watched, 1, &wait, &before);
  }
  const int error = errno;  // the caller tells an interruption from a failure by it
  (void)::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  errno = error;
  return ready;
}

std::int64_t r_dravnet_elapsed_ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

/// Joins the texts of the reply datagrams until `datagrams` (> 0) arrived, a wait runs out or
/// a bound of the reply is reached. A quit request ends the wait with nothing: part of a reply
/// is no reply.
std::optional<ts_net_reply> r_dravnet_collect(int socket_descriptor, int datagrams) {
  ts_reply_assembly assembly(go_server, {datagrams, gpts_config->net_response_timeout_1,
                                         gpts_config->net_response_timeout_next});
  const std::chrono::steady_clock::time_point sent = std::chrono::steady_clock::now();
  std::array<char, MAX_REPLY_DATAGRAM> buffer;
  while (!assembly.done()) {
    const std::int64_t left_ms = assembly.deadline_ms() - r_dravnet_elapsed_ms(sent);
    if (left_ms <= 0) {
      break;
    }
    const std::optional<int> ready = r_dravnet_wait_readable(socket_descriptor, left_ms);
    if (!ready) {
      return std::nullopt;
    }
    if (*ready < 0 && errno != EINTR) {
      break;
    }
    if (*ready <= 0) {
      continue;  // interrupted by a signal, or the wait is over: the time left decides
    }
    sockaddr_in sender{};
    socklen_t sender_size = sizeof sender;
    // With MSG_TRUNC the size is the datagram's own, also when the buffer took less of it.
    const ssize_t size =
        ::recvfrom(socket_descriptor, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                   reinterpret_cast<sockaddr*>(&sender), &sender_size);
    if (size < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        continue;
      }
      break;
    }
    const std::size_t read = std::min(static_cast<std::size_t>(size), buffer.size());
    assembly.add({ntohl(sender.sin_addr.s_addr), ntohs(sender.sin_port),
                  std::string_view(buffer.data(), read),
                  std::min(r_dravnet_elapsed_ms(sent), assembly.deadline_ms()),
                  read < static_cast<std::size_t>(size)});
  }
  return assembly.take();
}

/// This machine's own IPv4 addresses, which a server configured as 0.0.0.0 answers from.
std::vector<std::uint32_t> r_dravnet_local_addresses() {
  std::vector<std::uint32_t> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    return addresses;
  }
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
      sockaddr_in address{};
      std::memcpy(&address, entry->ifa_addr, sizeof address);
      addresses.push_back(ntohl(address.sin_addr.s_addr));
    }
  }
  ::freeifaddrs(list);
  return addresses;
}

/// True when the server runs on this machine: its address is 0.0.0.0, a loopback address or
/// one of this machine's own.
bool r_dravnet_server_is_local() {
  const std::vector<std::uint32_t> own = r_dravnet_local_addresses();
  return go_server.i_ip == 0 || (go_server.i_ip >> 24) == 127 ||
         std::ranges::find(own, go_server.i_ip) != own.end();
}

/// A fixed port range must leave the game server's own port to it when both run here.
void r_dravnet_check_port_range() {
  const auto first = static_cast<std::uint16_t>(gpts_config->net_client_port);
  const auto offset = static_cast<std::uint16_t>(go_server.i_port - first);
  if (gpts_config->net_client_port != 0 && offset <= NET_SLOT_SOCKETS &&
      r_dravnet_server_is_local()) {
    r_dravlog_error(
        "./src/drav_net - net_client_port %u takes the UDP ports %u to %u, which hold the game "
        "server's port %u on this machine\n",
        static_cast<unsigned>(first), static_cast<unsigned>(first),
        static_cast<unsigned>(r_dravnet_local_port(NET_SLOT_SOCKETS)),
        static_cast<unsigned>(go_server.i_port));
  }
}

}  // namespace

void r_dravnet_init(const ts_config& config) {
  gpts_config = &config;
  gb_send_failing = false;
  go_remote_address = sockaddr_in{};
  go_remote_address.sin_family = AF_INET;
  go_remote_address.sin_port = htons(static_cast<std::uint16_t>(config.net_server_port));
  go_remote_address.sin_addr.s_addr = htonl(static_cast<std::uint32_t>(config.net_server_ip));
  go_server = ts_net_server{
      ntohl(go_remote_address.sin_addr.s_addr), ntohs(go_remote_address.sin_port), {}};
  if (go_server.i_ip == 0) {
    go_server.ai_local_addresses = r_dravnet_local_addresses();
  }
  r_dravnet_check_port_range();
  // Every socket is opened now, so that a port held by another program stops the start, not
  // the first details request for that slot hours later.
  go_socket_main = r_dravnet_create_socket(0);
  for (std::size_t slot = 0; slot < gao_socket_dumpuser.size(); ++slot) {
    gao_socket_dumpuser[slot] = r_dravnet_create_socket(static_cast<int>(slot) + 1);
  }
}

std::optional<std::string> r_dravnet_send_command(std::string_view command, int datagrams,
                                                  int socket_index, bool* pb_bounded) {
  std::optional<ts_net_reply> reply = r_dravnet_ask(command, datagrams, socket_index);
  if (pb_bounded != nullptr) {
    *pb_bounded = reply && reply->b_bounded;
  }
  if (!reply) {
    return std::nullopt;
  }
  return std::move(reply->o_text);
}

std::optional<ts_net_reply> r_dravnet_ask(std::string_view command, int datagrams,
                                          int socket_index) {
  // The command is a C text for the server: it ends at its first NUL.
  command = command.substr(0, command.find('\0'));
  if (command.empty() || gpts_config == nullptr) {
    return std::nullopt;
  }
  const int socket_descriptor = r_dravnet_select_socket(socket_index);
  r_dravnet_drain(socket_descriptor);
  if (!r_dravnet_send_datagram(socket_descriptor, r_dravnet_build_datagram(command), command) ||
      datagrams == 0) {
    return std::nullopt;
  }
  return r_dravnet_collect(socket_descriptor, datagrams);
}

std::optional<std::string> r_dravnet_assemble_reply(std::span<const ts_net_datagram> datagrams,
                                                    const ts_net_server& server,
                                                    const ts_net_collect& collect) {
  ts_reply_assembly assembly(server, collect);
  for (const ts_net_datagram& datagram : datagrams) {
    if (assembly.done() || datagram.i_arrival_ms > assembly.deadline_ms()) {
      break;  // the wait ran out before this datagram came
    }
    assembly.add(datagram);
  }
  std::optional<ts_net_reply> reply = assembly.take();
  if (!reply) {
    return std::nullopt;
  }
  return std::move(reply->o_text);
}

void r_dravnet_set_quit_flag(const volatile std::sig_atomic_t* pb_quit, const sigset_t& signals) {
  gpb_quit = pb_quit;
  go_quit_signals = signals;
}

bool r_dravnet_quitting() {
  return gpb_quit != nullptr && *gpb_quit != 0;
}

void r_dravnet_finish() {
  gpb_quit = nullptr;
  (void)::sigemptyset(&go_quit_signals);
  if (!go_socket_main.close()) {
    r_dravlog_error("./src/drav_net - Unable to close socket\n");
  }
  for (ts_file_descriptor& slot : gao_socket_dumpuser) {
    if (!slot.close()) {
      r_dravlog_error("./src/drav_net - Unable to close socket\n");
    }
  }
  gpts_config = nullptr;
}

void r_dravnet_say(int color, const char* format, ...) {
  char message[NET_SAY_BUFFER_SIZE];
  va_list arguments;
  va_start(arguments, format);
  const int formatted = std::vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);
  if (formatted < 0) {
    return;  // the arguments could not be formatted: nothing sensible to say
  }
  r_dravtools_remove_invalid_console_chars(message);

  // Asterisks in the colour of the message frame it, so it stands out in the players' chat.
  const int color_code = color & 0xFF;
  char command[NET_SAY_BUFFER_SIZE];
  // A long message is cut where the buffer ends, losing the closing asterisks and quote.
  if (std::snprintf(command, sizeof command, "say \"-%c%c*** %s %c***\"", 0x0D, color_code, message,
                    color_code) < 0) {
    return;
  }
  // The reply is only awaited so that the server has taken the command; it says nothing.
  (void)r_dravnet_send_command(command, 1, NET_MAIN_SOCKET);
}
