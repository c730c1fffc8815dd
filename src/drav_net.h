// Layer 3 (link, parsers, access list, IP history): calls layers 1 and 2.
// The remote console link: UDP sockets, the command datagram and the
// collection of multi-datagram replies.
#pragma once

#include <signal.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
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
/// Lets a quit request end every wait for a reply at once: `pb_quit` (kept, only read) is the
/// flag that the handlers of `signals` set. Those signals are held back from the look at the
/// flag to the wait, so one that comes in between still ends the wait. Null forgets the flag.
void r_dravnet_set_quit_flag(const volatile std::sig_atomic_t* pb_quit, const sigset_t& signals);
/// True once the quit flag is set: from then on a command is still sent, but no reply is
/// awaited, and one being awaited counts as none.
bool r_dravnet_quitting();
/// Sends "rcon <password> <command>" on the main socket (index -1) or on the socket of slot
/// 0..255 and collects the reply: `datagrams` > 0 stops after that many datagrams, < 0 collects
/// until a wait runs out, 0 only sends. Only the server's datagrams count (see
/// r_dravnet_assemble_reply). Returns the joined reply texts, or nothing when no datagram came
/// (always nothing for an empty command or 0). `pb_bounded`, when given, tells whether the
/// reply was stopped by a NET_REPLY_MAX_* bound rather than ended by the server. A send that fails
/// gives nothing at once; it is told once (r_dravlog_warn) until a send works again, when that
/// is told.
std::optional<std::string> r_dravnet_send_command(std::string_view command, int datagrams,
                                                  int socket_index, bool* pb_bounded = nullptr);
/// r_dravnet_send_command, telling how the reply came (see ts_net_reply).
std::optional<ts_net_reply> r_dravnet_ask(std::string_view command, int datagrams,
                                          int socket_index);
/// Says a formatted message in game: "say" with the message framed in the colour code (low 8
/// bits of `color`), made console-safe, sent on the main socket.
[[gnu::format(printf, 2, 3)]] void r_dravnet_say(int color, const char* format, ...);
/// Closes the main socket and every open slot socket and forgets the configuration.
void r_dravnet_finish();
