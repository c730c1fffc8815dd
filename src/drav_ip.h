// Layer 1 (text and address helpers): calls no other module.
// IPv4 addresses, networks with prefix lengths, address:port texts and the
// reverse look-up. An address is a 64-bit value whose low 32 bits hold the IPv4
// address in host byte order; every failed parse gives 0.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

/// A network: `net` is the address with the host bits cleared, `mask` one of gct_mask.
struct ts_ip_net_mask {
  std::uint64_t net = 0;
  std::uint64_t mask = 0;
  bool operator==(const ts_ip_net_mask&) const = default;
};

/// An address with its port; port 0 when the text had none or an invalid one.
struct ts_ip_port {
  std::uint64_t ip = 0;
  std::uint16_t port = 0;
  bool operator==(const ts_ip_port&) const = default;
};

/// Dotted text of an address: at most 15 characters and a NUL.
struct ts_ip_text {
  char ac_text[16] = {};
  const char* c_str() const { return ac_text; }
};

/// What the resolver knows about an address: the official name and the aliases.
struct ts_hostent {
  std::string pc_name;
  std::vector<std::string> apc_aliases;
};

/// Masks by prefix length 0..32: entry n has the n highest of the low 32 bits set.
inline constexpr std::array<std::uint64_t, 33> gct_mask = [] {
  std::array<std::uint64_t, 33> masks{};
  for (int n = 1; n <= 32; ++n) {
    masks[n] = (0xFFFFFFFFull << (32 - n)) & 0xFFFFFFFFull;
  }
  return masks;
}();

/// The network of `ip` with the given prefix length, clamped to 0..32.
ts_ip_net_mask r_dravip_get_net_mask(std::uint64_t ip, int prefix);
/// Parses a dotted address ending at the text's end, a blank, ':' or '/'; 0 when invalid.
std::uint64_t r_dravip_string_to_ip(const char* text);
/// Same as r_dravip_string_to_ip, but nothing when the text is no address (so that the
/// address 0.0.0.0 and a text that is none can be told apart).
std::optional<std::uint64_t> r_dravip_parse_ip(const char* text);
/// Parses "a.b.c.d[/n]"; an invalid or missing prefix gives /32, an invalid address net 0.
ts_ip_net_mask r_dravip_string_to_net_mask(const char* text);
/// Parses "a.b.c.d[:port]"; an invalid or missing port gives 0, an invalid address ip 0.
ts_ip_port r_dravip_string_to_ip_port(const char* text);
/// "%d.%d.%d.%d" of the low 32 bits.
ts_ip_text r_dravip_ip_to_text(std::uint64_t ip);

/// A reverse look-up of an IPv4 address (host byte order): nothing when the resolver knows no
/// name. The system's blocks until the name servers answer.
using ts_resolver = std::function<std::optional<ts_hostent>(std::uint32_t ip)>;
/// Replaces the system resolver used by the look-ups (an empty function restores it). Lets
/// tests give player addresses names without asking any name server.
void r_dravip_set_resolver(ts_resolver resolver);

/// How a forward look-up of a host name ended.
enum te_resolve_result : int {
  RESOLVE_OK = 0,
  RESOLVE_UNKNOWN = 1,  // the name has no IPv4 address, or the text is no name
  RESOLVE_AGAIN = 2,    // no answer for now (no resolver reachable): the name may be fine
};
/// The outcome of r_dravip_resolve_host: the first IPv4 address on success, else the
/// resolver's reason.
struct ts_resolve_outcome {
  te_resolve_result te_result = RESOLVE_UNKNOWN;
  std::uint64_t ip = 0;
  std::string pc_reason;
};
/// The IPv4 address of a host name, asked of the system resolver; blocks until it answers.
ts_resolve_outcome r_dravip_resolve_host(const char* name);

/// The resolver in use now; a look-up on a worker thread takes a copy, so that setting
/// another one later never touches a look-up under way.
ts_resolver r_dravip_current_resolver();

/// The host-name text of a resolver's answer: the official name, then every alias, joined by
/// ";". Names come from whoever runs the reverse zone of the address: a byte that would end a
/// line in a file, any other control byte and the ";" become "?", and the text is cut before
/// the first name that would pass 1024 bytes. Nothing when the text would be empty.
std::optional<std::string> r_dravip_hostnames_text(const ts_hostent& host);

/// A reverse look-up that ended: the address and its host-name text (r_dravip_hostnames_text),
/// nothing when the resolver knows no name.
struct ts_ip_lookup_result {
  std::uint32_t i_ip = 0;
  std::optional<std::string> pc_hostnames;
};
/// Starts the reverse look-ups that run beside the program: makes the wake-up descriptor;
/// worker threads start when look-ups are asked for, at most four of them.
void r_dravip_lookup_init();
/// Asks for the host names of `ip` on a worker thread, with the resolver in use now; never
/// waits. A look-up that no worker took before `deadline` is dropped without an answer.
void r_dravip_lookup_request(std::uint32_t ip, std::chrono::steady_clock::time_point deadline);
/// The look-ups that ended since the last call, in the order they ended; never waits.
std::vector<ts_ip_lookup_result> r_dravip_lookup_take();
/// An event descriptor that is readable while ended look-ups wait to be taken (an event loop
/// watches it); -1 while the look-ups are not started.
int r_dravip_lookup_descriptor();
/// Stops the look-ups: queued ones are dropped, idle workers end, and a worker still inside
/// the resolver ends on its own when the resolver returns, its answer dropped.
void r_dravip_lookup_finish();
