// Finding entries of the IP history: queries by address, network or text, and the aliases
// of an address (the other names and addresses of a player).
#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_tools.h"

namespace {

// Colour codes are the control bytes other than the line feed.
bool r_dravlistip_is_color_code(unsigned char byte) {
  return byte >= 0x01 && byte <= 0x1F && byte != 0x0A;
}

char r_dravlistip_fold(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool r_dravlistip_contains_folded(std::string_view text, std::string_view folded_part) {
  const auto found =
      std::search(text.begin(), text.end(), folded_part.begin(), folded_part.end(),
                  [](char a, char b) { return r_dravlistip_fold(a) == b; });
  return found != text.end();
}

// The text of a name seen by every name comparison: an undated entry's name carries a mark
// in front that no sighting has.
std::string_view r_dravlistip_plain_name(const char* name) {
  std::string_view text(name);
  if (text.starts_with("\\ ")) {
    text.remove_prefix(2);
  }
  return text;
}

bool r_dravlistip_earlier(const ts_listip_data& a, const ts_listip_data& b) {
  return std::tie(a.year, a.month, a.day) < std::tie(b.year, b.month, b.day);
}

}  // namespace

std::optional<ts_listip_query> r_dravlistip_parse_query(std::string_view text, std::string& error) {
  if (text.empty()) {
    error = "Empty query";
    return std::nullopt;
  }
  ts_listip_query query;
  const std::string copy(text);
  const std::uint64_t ip = r_dravip_string_to_ip(copy.c_str());
  const std::size_t slash = copy.find('/');
  if (ip == 0 && copy.rfind("0.0.0.0", 0) != 0) {
    query.te_kind = QUERY_TEXT;
    std::transform(copy.begin(), copy.end(), std::back_inserter(query.pc_text), r_dravlistip_fold);
    return query;
  }
  if (slash == std::string::npos) {
    if (copy.find_first_not_of("0123456789.") != std::string::npos) {
      std::transform(copy.begin(), copy.end(), std::back_inserter(query.pc_text),
                     r_dravlistip_fold);
      return query;
    }
    query.te_kind = QUERY_ADDRESS;
    query.i_first_ip = query.i_last_ip = ip;
    return query;
  }
  const std::string prefix = copy.substr(slash + 1);
  if (prefix.empty() || prefix.size() > 2 ||
      prefix.find_first_not_of("0123456789") != std::string::npos || std::stoi(prefix) > 32) {
    error = "Bad network: " + copy;
    return std::nullopt;
  }
  const ts_ip_net_mask net = r_dravip_get_net_mask(ip, std::stoi(prefix));
  query.te_kind = QUERY_NETWORK;
  query.i_first_ip = net.net;
  query.i_last_ip = net.net | (~net.mask & 0xFFFFFFFFull);
  return query;
}

std::string r_dravlistip_shown_name(const char* name) {
  std::string shown;
  for (const char* c = name; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (r_dravlistip_is_color_code(byte)) {
      continue;
    }
    if (byte >= 0x7F) {
      shown += gpac_drav_chars_utf8[byte - 0x7F];
    } else {
      shown += *c;
    }
  }
  return shown;
}

bool r_dravlistip_match(const ts_listip_query& query, const ts_listip_data& entry) {
  if (query.te_kind != QUERY_TEXT) {
    return entry.ip >= query.i_first_ip && entry.ip <= query.i_last_ip;
  }
  return r_dravlistip_contains_folded(r_dravlistip_shown_name(entry.name), query.pc_text) ||
         r_dravlistip_contains_folded(entry.hostnames, query.pc_text);
}

std::int32_t r_dravlistip_find(const ts_listip_query& query, std::int32_t start,
                               std::int32_t step) {
  const auto list = r_dravlistip_get_list();
  const auto count = static_cast<std::int64_t>(list.size());
  if (count == 0) {
    return -1;
  }
  std::int64_t index = ((static_cast<std::int64_t>(start) % count) + count) % count;
  for (std::int64_t seen = 0; seen < count; ++seen) {
    if (r_dravlistip_match(query, list[static_cast<std::size_t>(index)])) {
      return static_cast<std::int32_t>(index);
    }
    index = (index + step + count) % count;
  }
  return -1;
}

ts_listip_aliases r_dravlistip_aliases(std::uint64_t ip) {
  ts_listip_aliases aliases;
  std::int32_t first = 0;
  std::int32_t end = 0;
  r_dravlistip_ip_locate(ip, first, end);
  const auto list = r_dravlistip_get_list();
  std::map<std::string_view, ts_listip_data> names;
  for (std::int32_t i = first; i < end; ++i) {
    const ts_listip_data& entry = list[static_cast<std::size_t>(i)];
    const auto [place, added] = names.emplace(r_dravlistip_plain_name(entry.name), entry);
    if (!added && r_dravlistip_earlier(entry, place->second)) {
      place->second = entry;
    }
  }
  for (const auto& [name, entry] : names) {
    aliases.ats_names.push_back(entry);
  }
  std::map<std::pair<std::uint64_t, std::string_view>, std::size_t> seen;
  for (const ts_listip_data& entry : list) {
    const std::string_view name = r_dravlistip_plain_name(entry.name);
    if (entry.ip == ip || !names.contains(name)) {
      continue;
    }
    const auto [place, added] = seen.emplace(std::pair(entry.ip, name), aliases.ats_addresses.size());
    if (added) {
      aliases.ats_addresses.push_back(entry);
    } else if (r_dravlistip_earlier(entry, aliases.ats_addresses[place->second])) {
      aliases.ats_addresses[place->second] = entry;
    }
  }
  return aliases;
}
