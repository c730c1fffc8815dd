// IPv4 addresses, networks with prefix lengths, address:port texts and the
// reverse look-up.
#include "drav_ip.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace {

// One decimal number read with the rules of strtol; `end` is where it stopped.
struct ts_number {
  long i_value = 0;
  const char* pc_end = nullptr;
};

// Reads a decimal number at `text`; nothing when no digit was read or the value does
// not fit in a long.
std::optional<ts_number> r_dravip_read_number(const char* text) {
  // Plain digits are by far the common case (a history of a million lines is scanned at
  // start), so they are read here; the result equals strtol's, except that a value beyond
  // 2^40 is only kept as "too large" (every caller rejects such values anyway).
  if (*text >= '0' && *text <= '9') {
    constexpr long TOO_LARGE = 1L << 40;
    long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
      value = std::min(value * 10 + (*text - '0'), TOO_LARGE);
    }
    return ts_number{value, text};
  }
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno == ERANGE || end == text) {
    return std::nullopt;
  }
  return ts_number{value, end};
}

// Reads a number at `text` that lies in low..high and is followed by one of `stops`
// (the NUL of the text always counts as one when listed as '\0').
std::optional<ts_number> r_dravip_read_bounded(const char* text, long low, long high,
                                               std::string_view stops) {
  const auto number = r_dravip_read_number(text);
  if (!number || number->i_value < low || number->i_value > high) {
    return std::nullopt;
  }
  if (stops.find(*number->pc_end) == std::string_view::npos) {
    return std::nullopt;
  }
  return number;
}

using namespace std::string_view_literals;

// After the last number of an address comes the end of the text, a blank, a port or a
// prefix length.
constexpr std::string_view IP_END_CHARS = "\0 :/"sv;
// A port or prefix length is the last word of its column.
constexpr std::string_view SUFFIX_END_CHARS = "\0 "sv;

// Scans a dotted address at the start of `text` into `ip`. Returns the character that
// ended the fourth number, or null (and `ip` 0) when the text is no address.
const char* r_dravip_string_to_ip_priv(const char* text, std::uint64_t& ip) {
  ip = 0;
  std::uint64_t address = 0;
  const char* position = text;
  for (int part = 0; part < 4; ++part) {
    const bool last = part == 3;
    const auto number = r_dravip_read_bounded(position, 0, 255, last ? IP_END_CHARS : "."sv);
    if (!number) {
      return nullptr;
    }
    address = (address << 8) | static_cast<std::uint64_t>(number->i_value);
    position = last ? number->pc_end : number->pc_end + 1;
  }
  ip = address;
  return position;
}

// The resolver that tests put in place of the system's; empty for the system's.
ts_resolver go_resolver;

ts_hostent r_dravip_copy_hostent(const hostent& entry) {
  ts_hostent copy;
  copy.pc_name = entry.h_name != nullptr ? entry.h_name : "";
  if (entry.h_aliases != nullptr) {
    for (char** alias = entry.h_aliases; *alias != nullptr; ++alias) {
      copy.apc_aliases.emplace_back(*alias);
    }
  }
  return copy;
}

std::optional<ts_hostent> r_dravip_system_resolver(std::uint32_t ip) {
  in_addr address{};
  address.s_addr = htonl(ip);
  // The resolver's answer must fit into `buffer`; it asks for more room with ERANGE.
  std::vector<char> buffer(1024);
  constexpr std::size_t BUFFER_LIMIT = 1 << 20;
  for (;;) {
    hostent entry{};
    hostent* result = nullptr;
    int resolver_error = 0;
    const int status = gethostbyaddr_r(&address, sizeof address, AF_INET, &entry, buffer.data(),
                                       buffer.size(), &result, &resolver_error);
    if (status == ERANGE && buffer.size() < BUFFER_LIMIT) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != 0 || result == nullptr) {
      return std::nullopt;
    }
    return r_dravip_copy_hostent(*result);
  }
}

}  // namespace

ts_ip_net_mask r_dravip_get_net_mask(std::uint64_t ip, int prefix) {
  const std::uint64_t mask = gct_mask[static_cast<std::size_t>(std::clamp(prefix, 0, 32))];
  return ts_ip_net_mask{ip & mask, mask};
}

std::uint64_t r_dravip_string_to_ip(const char* text) {
  std::uint64_t ip = 0;
  r_dravip_string_to_ip_priv(text, ip);
  return ip;
}

std::optional<std::uint64_t> r_dravip_parse_ip(const char* text) {
  std::uint64_t ip = 0;
  if (r_dravip_string_to_ip_priv(text, ip) == nullptr) {
    return std::nullopt;
  }
  return ip;
}

ts_ip_net_mask r_dravip_string_to_net_mask(const char* text) {
  std::uint64_t ip = 0;
  const char* end = r_dravip_string_to_ip_priv(text, ip);
  int prefix = 32;
  if (end != nullptr && *end == '/') {
    // A prefix that cannot be read leaves the single address rather than a wider network.
    if (const auto number = r_dravip_read_bounded(end + 1, 0, 32, SUFFIX_END_CHARS)) {
      prefix = static_cast<int>(number->i_value);
    }
  }
  return r_dravip_get_net_mask(ip, prefix);
}

ts_ip_port r_dravip_string_to_ip_port(const char* text) {
  ts_ip_port result;
  const char* end = r_dravip_string_to_ip_priv(text, result.ip);
  if (end != nullptr && *end == ':') {
    if (const auto number = r_dravip_read_bounded(end + 1, 0, 65535, SUFFIX_END_CHARS)) {
      result.port = static_cast<std::uint16_t>(number->i_value);
    }
  }
  return result;
}

ts_ip_text r_dravip_ip_to_text(std::uint64_t ip) {
  ts_ip_text result;
  // Four numbers of at most three digits and three dots always fit the 16 bytes.
  (void)std::snprintf(result.ac_text, sizeof result.ac_text, "%u.%u.%u.%u",
                      static_cast<unsigned>((ip >> 24) & 0xFF),
                      static_cast<unsigned>((ip >> 16) & 0xFF),
                      static_cast<unsigned>((ip >> 8) & 0xFF), static_cast<unsigned>(ip & 0xFF));
  return result;
}

ts_resolver r_dravip_current_resolver() {
  if (go_resolver) {
    return go_resolver;
  }
  return r_dravip_system_resolver;
}

void r_dravip_set_resolver(ts_resolver resolver) {
  go_resolver = std::move(resolver);
}

ts_resolve_outcome r_dravip_resolve_host(const char* name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(name, nullptr, &hints, &found);
  if (status != 0) {
    const bool again = status == EAI_AGAIN || status == EAI_SYSTEM || status == EAI_MEMORY;
    return ts_resolve_outcome{again ? RESOLVE_AGAIN : RESOLVE_UNKNOWN, 0, gai_strerror(status)};
  }
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(found, freeaddrinfo);
  sockaddr_in address{};
  std::memcpy(&address, found->ai_addr, sizeof address);
  return ts_resolve_outcome{RESOLVE_OK, ntohl(address.sin_addr.s_addr), ""};
}
