// The remote console link. Every command is one UDP datagram to the game server; its answer
// arrives as one or more "print" datagrams whose texts are joined into one reply. The main
// socket carries every command except the per-player details requests, which each use the
// socket of their player slot so that a late details answer can never join a status reply.
// Anyone can send datagrams to these ports: a reply takes only the server's, and it is
// bounded in datagrams, bytes and time.
#include "drav_net.h"

#include <arpa/inet.h>
#include <event2/event.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "drav_config.h"
#include "drav_log.h"
#include "drav_loop.h"
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

// A command waiting for its turn; the first one is in flight while gts_flight has a watch.
struct ts_net_request {
  std::uint64_t i_id = 0;
  std::string o_command;
  int i_datagrams = 0;
  int i_socket_index = NET_MAIN_SOCKET;
  ts_net_done o_done;
};
std::deque<ts_net_request> gao_requests;
std::uint64_t gi_last_request = 0;
// The reply being collected for the first request.
struct ts_net_flight {
  ts_loop_event o_watch;
  std::optional<ts_reply_assembly> o_assembly;
  std::chrono::steady_clock::time_point t_sent;
  int i_descriptor = -1;
};
ts_net_flight gts_flight;
// Set while r_dravnet_start_next runs, which then goes on with the queue itself.
bool gb_starting = false;

std::int64_t r_dravnet_elapsed_ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

void r_dravnet_start_next();

/// Nothing in flight any more.
void r_dravnet_clear_flight() {
  gts_flight.o_watch = ts_loop_event{};
  gts_flight.o_assembly.reset();
  gts_flight.i_descriptor = -1;
}

/// Ends the first request with `reply`: its watch goes, it leaves the queue, and its caller
/// gets the reply; then the next request goes out.
void r_dravnet_finish_request(std::optional<ts_net_reply> reply) {
  r_dravnet_clear_flight();
  ts_net_request request = std::move(gao_requests.front());
  gao_requests.pop_front();
  if (request.o_done) {
    request.o_done(std::move(reply));
  }
  r_dravnet_start_next();
}

/// Takes every datagram waiting on the socket into the reply. False when the socket failed.
bool r_dravnet_read_datagrams(ts_reply_assembly& assembly) {
  std::array<char, MAX_REPLY_DATAGRAM> buffer;
  while (!assembly.done()) {
    sockaddr_in sender{};
    socklen_t sender_size = sizeof sender;
    // With MSG_TRUNC the size is the datagram's own, also when the buffer took less of it.
    const ssize_t size =
        ::recvfrom(gts_flight.i_descriptor, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                   reinterpret_cast<sockaddr*>(&sender), &sender_size);
    if (size < 0) {
      return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    const std::size_t read = std::min(static_cast<std::size_t>(size), buffer.size());
    assembly.add({ntohl(sender.sin_addr.s_addr), ntohs(sender.sin_port),
                  std::string_view(buffer.data(), read),
                  std::min(r_dravnet_elapsed_ms(gts_flight.t_sent), assembly.deadline_ms()),
                  read < static_cast<std::size_t>(size)});
  }
  return true;
}

/// The socket of the reply being collected is readable, or its wait ran out: the datagrams
/// join the reply until `datagrams` arrived, a wait runs out or a bound is reached.
void r_dravnet_on_reply_event(short what) {
  ts_reply_assembly& assembly = *gts_flight.o_assembly;
  const bool readable = (what & EV_READ) != 0;
  if (readable && !r_dravnet_read_datagrams(assembly)) {
    r_dravnet_finish_request(assembly.take());
    return;
  }
  const std::int64_t left_ms = assembly.deadline_ms() - r_dravnet_elapsed_ms(gts_flight.t_sent);
  if (assembly.done() || left_ms <= 0) {
    r_dravnet_finish_request(assembly.take());
    return;
  }
  gts_flight.o_watch.arm(left_ms);
}

/// Sends the first request; true when its reply is to be awaited.
bool r_dravnet_send_first() {
  ts_net_request& request = gao_requests.front();
  // The command is a C text for the server: it ends at its first NUL.
  const std::string_view command =
      std::string_view(request.o_command).substr(0, request.o_command.find('\0'));
  if (command.empty() || gpts_config == nullptr) {
    return false;
  }
  const int socket_descriptor = r_dravnet_select_socket(request.i_socket_index);
  r_dravnet_drain(socket_descriptor);
  if (!r_dravnet_send_datagram(socket_descriptor, r_dravnet_build_datagram(command), command) ||
      request.i_datagrams == 0 || r_dravnet_quitting()) {
    return false;
  }
  gts_flight.i_descriptor = socket_descriptor;
  gts_flight.t_sent = std::chrono::steady_clock::now();
  gts_flight.o_assembly.emplace(go_server,
                                ts_net_collect{request.i_datagrams,
                                               gpts_config->net_response_timeout_1,
                                               gpts_config->net_response_timeout_next});
  gts_flight.o_watch = ts_loop_event::watch_readable(socket_descriptor, r_dravnet_on_reply_event);
  gts_flight.o_watch.arm(gts_flight.o_assembly->deadline_ms());
  return true;
}

/// Sends the queued commands in turn until one awaits its reply. Requests that end at once
/// (nothing to send, a failed send, no reply wanted, a quit) are ended here in a loop rather
/// than one inside the other.
void r_dravnet_start_next() {
  if (gb_starting) {
    return;
  }
  gb_starting = true;
  while (!gao_requests.empty() && !gts_flight.o_watch) {
    if (r_dravnet_send_first()) {
      break;
    }
    ts_net_request request = std::move(gao_requests.front());
    gao_requests.pop_front();
    if (request.o_done) {
      request.o_done(std::nullopt);
    }
  }
  gb_starting = false;
}

/// Queues a request; returns its number.
std::uint64_t r_dravnet_enqueue(std::string_view command, int datagrams, int socket_index,
                                ts_net_done done) {
  const std::uint64_t id = ++gi_last_request;
  gao_requests.push_back({id, std::string(command), datagrams, socket_index, std::move(done)});
  r_dravnet_start_next();
  return id;
}

/// Takes request `id` out of the queue without telling its caller; one in flight stops
/// waiting and the next goes out.
void r_dravnet_cancel(std::uint64_t id) {
  const auto found = std::ranges::find(gao_requests, id, &ts_net_request::i_id);
  if (found == gao_requests.end()) {
    return;
  }
  if (found == gao_requests.begin() && gts_flight.o_watch) {
    found->o_done = nullptr;
    r_dravnet_finish_request(std::nullopt);
    return;
  }
  gao_requests.erase(found);
}

/// A quit ends the wait in flight with nothing (part of a reply is no reply); the queued
/// commands are then sent without waits.
void r_dravnet_on_quit() {
  if (gts_flight.o_watch) {
    r_dravnet_finish_request(std::nullopt);
  }
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
  gao_requests.clear();
  r_dravnet_clear_flight();
  r_dravloop_set_quit_function(r_dravnet_on_quit);
  // Every socket is opened now, so that a port held by another program stops the start, not
  // the first details request for that slot hours later.
  go_socket_main = r_dravnet_create_socket(0);
  for (std::size_t slot = 0; slot < gao_socket_dumpuser.size(); ++slot) {
    gao_socket_dumpuser[slot] = r_dravnet_create_socket(static_cast<int>(slot) + 1);
  }
}

void r_dravnet_send_then(std::string_view command, int datagrams, int socket_index,
                         ts_net_done done) {
  (void)r_dravnet_enqueue(command, datagrams, socket_index, std::move(done));
}

ts_net_ask::ts_net_ask(std::string_view command, int datagrams, int socket_index)
    : o_command(command), i_datagrams(datagrams), i_socket_index(socket_index) {}

ts_net_ask::~ts_net_ask() {
  if (i_request != 0 && !b_done) {
    r_dravnet_cancel(i_request);
  }
}

bool ts_net_ask::await_suspend(std::coroutine_handle<> waiting) {
  o_waiting = waiting;
  i_request = r_dravnet_enqueue(o_command, i_datagrams, i_socket_index,
                                [this](std::optional<ts_net_reply> reply) {
                                  o_reply = std::move(reply);
                                  b_done = true;
                                  if (b_suspended) {
                                    o_waiting.resume();
                                  }
                                });
  // A command that ended at once goes on without a wait.
  b_suspended = !b_done;
  return b_suspended;
}

ts_net_ask r_dravnet_all_sent() {
  return {"", 0, NET_MAIN_SOCKET};
}

namespace {

ts_task<std::optional<ts_net_reply>> r_dravnet_ask_steps(std::string command, int datagrams,
                                                         int socket_index) {
  co_return co_await ts_net_ask(command, datagrams, socket_index);
}

}  // namespace

std::optional<ts_net_reply> r_dravnet_ask(std::string_view command, int datagrams,
                                          int socket_index) {
  return r_dravloop_complete(r_dravnet_ask_steps(std::string(command), datagrams, socket_index))
      .value_or(std::nullopt);
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

bool r_dravnet_quitting() {
  return r_dravloop_quitting();
}

void r_dravnet_finish() {
  r_dravloop_set_quit_function(nullptr);
  gao_requests.clear();
  r_dravnet_clear_flight();
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
  if (r_dravloop_running()) {
    r_dravnet_send_then(command, 1, NET_MAIN_SOCKET, nullptr);
  } else {
    (void)r_dravnet_send_command(command, 1, NET_MAIN_SOCKET);
  }
}
