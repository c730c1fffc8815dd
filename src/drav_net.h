// Layer 3 (link, parsers, access list, IP history): calls layers 1 and 2.
// The remote console link: UDP sockets, the command datagram and the
// collection of multi-datagram replies.
#pragma once

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct ts_config;

/// Number of player slots (client numbers 0..255, as many as a server can have), each with its
/// own socket for details requests, so that each details reply is told apart by the port it
/// comes to.
inline constexpr int NET_SLOT_SOCKETS = 256;
/// Socket index of the main socket.
inline constexpr int NET_MAIN_SOCKET = -1;

/// Bounds of one reply, far above the longest real one (a status of 256 players with 31-byte
/// names is about 21 000 bytes in 16 datagrams): a server that never stops sending (one build
/// floods blanks without end) cannot hold a command or grow the reply without end. The time
/// bound counts from the reply's first datagram.
inline constexpr int NET_REPLY_MAX_DATAGRAMS = 64;
inline constexpr std::size_t NET_REPLY_MAX_BYTES = 65536;
inline constexpr std::int64_t NET_REPLY_MAX_MS = 5000;

/// The sender a reply must come from: address (host byte order) and port. The address
/// 0.0.0.0 reaches this machine, so then any of its own addresses is accepted: 127.0.0.0/8
/// and `ai_local_addresses`.
struct ts_net_server {
  std::uint32_t i_ip = 0;
  std::uint16_t i_port = 0;
  std::vector<std::uint32_t> ai_local_addresses;
};

/// One datagram as a socket delivered it: sender, bytes, arrival in milliseconds after the
/// command was sent, and whether it was longer than the read takes (then cut to its bytes).
struct ts_net_datagram {
  std::uint32_t i_ip = 0;
  std::uint16_t i_port = 0;
  std::string_view o_bytes;
  std::int64_t i_arrival_ms = 0;
  bool b_cut = false;
};

/// A reply as it was collected: the joined texts, how many of the server's datagrams they
/// came in, whether any of them was cut by the read, and whether a NET_REPLY_MAX_* bound
/// stopped it rather than the server. A reply of one datagram that was not cut is exactly what
/// the server printed; one of several may have lost or gained a datagram on the way.
struct ts_net_reply {
  std::string o_text;
  int i_datagrams = 0;
  bool b_cut = false;
  bool b_bounded = false;
};

/// How a reply is collected: `i_datagrams` > 0 stops after that many, < 0 when a wait runs
/// out; the first wait, and the wait for each further datagram (fixed when above 0, else
/// three times the delivery time of the datagram before).
struct ts_net_collect {
  int i_datagrams = -1;
  std::int64_t i_first_wait_ms = 0;
  std::int64_t i_next_wait_ms = 0;
};

/// Joins the reply the way the transport does while datagrams arrive: datagrams from any
/// other sender are dropped unread, one arriving after the current wait ran out ends the
/// reply before it, and the reply stops at the NET_REPLY_MAX_* bounds. Returns nothing when
/// no datagram of the server came in time.
std::optional<std::string> r_dravnet_assemble_reply(std::span<const ts_net_datagram> datagrams,
                                                    const ts_net_server& server,
                                                    const ts_net_collect& collect);

/// Builds the server address from the configuration and opens the main socket and every slot
/// socket, bound to net_client_port and the NET_SLOT_SOCKETS ports after it when it is not 0.
/// Socket failures are fatal, and so is a port range that holds the port of a server on this
/// machine.
void r_dravnet_init(const ts_config& config);
/// True once a quit is requested (r_dravloop_request_quit): from then on a command is still
/// sent, but no reply is awaited, and one being awaited counts as none.
bool r_dravnet_quitting();
/// What a command brought when its turn came: the reply as it was collected, or nothing.
using ts_net_done = std::function<void(std::optional<ts_net_reply>)>;
/// Queues "rcon <password> <command>" for the main socket (index -1) or the socket of slot
/// 0..255 and returns at once; `done` (may be empty) gets the reply when it is collected.
/// Commands go out one at a time, in the order they were queued, each after the reply to the
/// one before was collected or its wait ran out: `datagrams` > 0 stops after that many
/// datagrams, < 0 collects until a wait runs out, 0 only sends. Only the server's datagrams
/// count (see r_dravnet_assemble_reply). Nothing comes for an empty command. A send that fails
/// gives nothing at once; it is told once (r_dravlog_warn) until a send works again, when that
/// is told.
void r_dravnet_send_then(std::string_view command, int datagrams, int socket_index,
                         ts_net_done done);
/// The awaitable form of r_dravnet_send_then for a sequence of steps (co_await gives the
/// reply). A step sequence destroyed while it waits takes its command out of the queue.
class ts_net_ask {
 public:
  ts_net_ask(std::string_view command, int datagrams, int socket_index);
  ~ts_net_ask();
  ts_net_ask(const ts_net_ask&) = delete;
  ts_net_ask& operator=(const ts_net_ask&) = delete;
  ts_net_ask(ts_net_ask&&) = delete;
  ts_net_ask& operator=(ts_net_ask&&) = delete;
  bool await_ready() const noexcept { return false; }
  bool await_suspend(std::coroutine_handle<> waiting);
  std::optional<ts_net_reply> await_resume() { return std::move(o_reply); }

 private:
  std::string o_command;
  int i_datagrams;
  int i_socket_index;
  std::uint64_t i_request = 0;
  std::coroutine_handle<> o_waiting;
  bool b_suspended = false;
  bool b_done = false;
  std::optional<ts_net_reply> o_reply;
};
/// Awaits the turn of a command queued now that sends nothing: every command queued before it
/// has had its reply or its wait then.
ts_net_ask r_dravnet_all_sent();
/// The synchronous form, for callers outside the event loop: queues the command and drives
/// the loop until its reply is collected. Returns the joined reply texts, or nothing when no
/// datagram came. `pb_bounded`, when given, tells whether the reply was stopped by a
/// NET_REPLY_MAX_* bound rather than ended by the server.
std::optional<std::string> r_dravnet_send_command(std::string_view command, int datagrams,
                                                  int socket_index, bool* pb_bounded = nullptr);
/// r_dravnet_send_command, telling how the reply came (see ts_net_reply).
std::optional<ts_net_reply> r_dravnet_ask(std::string_view command, int datagrams,
                                          int socket_index);
/// Says a formatted message in game: "say" with the message framed in the colour code (low 8
/// bits of `color`), made console-safe, queued for the main socket. Outside the event loop it
/// returns once the server took it (or its wait ran out).
[[gnu::format(printf, 2, 3)]] void r_dravnet_say(int color, const char* format, ...);
/// Drops the queued commands (their `done` is not called), closes the main socket and every
/// slot socket and forgets the configuration.
void r_dravnet_finish();
