// The remote console link: UDP sockets, the command datagram and the
// collection of multi-datagram replies.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct ts_config;

/// Number of player slots, each with its own socket for details requests.
inline constexpr int NET_SLOT_SOCKETS = 32;
/// Socket index of the main socket.
inline constexpr int NET_MAIN_SOCKET = -1;

/// Builds the server address from the configuration and opens the main socket (bound to
/// net_client_port when it is not 0). Socket failures are fatal.
void r_dravnet_init(const ts_config& config);
/// Sends "rcon <password> <command>" on the main socket (index -1) or on the socket of slot
/// 0..31, opened on first use, and collects the reply: `datagrams` > 0 stops after that many
/// datagrams, < 0 collects until a wait runs out, 0 only sends. Returns the joined reply
/// texts, or nothing when no datagram came (always nothing for an empty command or 0).
std::optional<std::string> r_dravnet_send_command(std::string_view command, int datagrams,
                                                  int socket_index);
/// Closes the main socket and every open slot socket.
void r_dravnet_finish();
