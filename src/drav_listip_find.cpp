// Finding entries of the IP history: queries by address, network or text, and the aliases
// of an address (the other names and addresses of a player). A find step may have to look
// at every one of a million entries, so it works on the compact storage block by block:
// address and network queries are binary searches, and a text query first compares each
// entry's signature, which rejects nearly every entry without touching its texts.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_listip_store.h"
#include "drav_tools.h"

namespace {

// How many candidates ahead a text scan asks for the texts it will read.
constexpr std::size_t FETCH_AHEAD = 8;

char r_dravlistip_fold(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool r_dravlistip_contains_folded(std::string_view text, std::string_view folded_part) {
  const auto found = std::search(text.begin(), text.end(), folded_part.begin(), folded_part.end(),
                                 [](char a, char b) { return r_dravlistip_fold(a) == b; });
  return found != text.end();
}

// A name that the screen shows byte for byte: no colour codes and no game characters.
bool r_dravlistip_shown_as_is(std::string_view name) {
  return std::all_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x7F && !r_dravtools_is_color_code(byte);
  });
}

// The text of a name seen by every name comparison: an undated entry's name carries a mark
// in front that no sighting has.
std::string_view r_dravlistip_plain_name(const char* name) {
  std::string_view text(name);
  if (text.starts_with(UNDATED_NAME_PREFIX)) {
    text.remove_prefix(UNDATED_NAME_PREFIX.size());
  }
  return text;
}

// The name as shown or the host names hold the folded part. A name shown byte for byte, the
// common case, is searched where it lies.
bool r_dravlistip_text_matches(const char* name, const char* hosts, std::string_view folded_part) {
  // The undated mark is the history's own, never part of what a query can match.
  const std::string_view name_text = r_dravlistip_plain_name(name);
  if (r_dravlistip_shown_as_is(name_text)) {
    if (r_dravlistip_contains_folded(name_text, folded_part)) {
      return true;
    }
  } else if (r_dravlistip_contains_folded(r_dravtools_shown_text(name_text.data()), folded_part)) {
    return true;
  }
  return r_dravlistip_contains_folded(hosts, folded_part);
}

bool r_dravlistip_earlier(const ts_listip_data& a, const ts_listip_data& b) {
  return std::tie(a.year, a.month, a.day) < std::tie(b.year, b.month, b.day);
}

// Signature bits: the letters have one each, the digits share one, '.', '-' and ';' (common
// in host names) have one each, the other bytes share a few; the pairs of neighbouring bytes
// share the rest. So a query of one or two characters that few entries have is told apart
// from the common ones, and a longer one by its pairs.
constexpr unsigned SIGNATURE_OTHER_BIT = 30;
constexpr unsigned SIGNATURE_OTHER_BITS = 7;
constexpr unsigned SIGNATURE_PAIR_BIT = SIGNATURE_OTHER_BIT + SIGNATURE_OTHER_BITS;
constexpr unsigned SIGNATURE_PAIR_BITS = 64 - SIGNATURE_PAIR_BIT;

constexpr std::uint64_t r_dravlistip_pair_bit(unsigned previous, unsigned byte) {
  const std::uint64_t hash = (std::uint64_t{previous << 8 | byte} * 0x9E3779B97F4A7C15ull) >> 32;
  return std::uint64_t{1} << (SIGNATURE_PAIR_BIT + ((hash * SIGNATURE_PAIR_BITS) >> 32));
}

constexpr std::uint64_t r_dravlistip_byte_bit(unsigned byte) {
  if (byte >= 'a' && byte <= 'z') {
    return std::uint64_t{1} << (byte - 'a');
  }
  if (byte >= '0' && byte <= '9') {
    return std::uint64_t{1} << 26;
  }
  constexpr std::string_view OWN_BITS = ".-;";  // bits 27, 28 and 29
  if (const std::size_t own = OWN_BITS.find(static_cast<char>(byte)); own != OWN_BITS.npos) {
    return std::uint64_t{1} << (27 + own);
  }
  return std::uint64_t{1} << (SIGNATURE_OTHER_BIT +
                              (byte * 0x9E3779B1u >> 16) % SIGNATURE_OTHER_BITS);
}

constexpr unsigned r_dravlistip_fold_byte(unsigned byte) {
  return byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte;
}

// The signature bit of each byte alone, ASCII capitals taken as small letters.
constexpr std::array<std::uint64_t, 256> gct_listip_byte_bits = [] {
  std::array<std::uint64_t, 256> bits{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    bits[byte] = r_dravlistip_byte_bit(r_dravlistip_fold_byte(byte));
  }
  return bits;
}();

// Each bit alone, by its number.
constexpr std::array<std::uint64_t, 64> gct_listip_bits = [] {
  std::array<std::uint64_t, 64> bits{};
  for (unsigned bit = 0; bit < 64; ++bit) {
    bits[bit] = std::uint64_t{1} << bit;
  }
  return bits;
}();

// The signature bit number of each pair of bytes, the first in the high byte of the index,
// ASCII capitals taken as small letters. No text holds a NUL byte, so a NUL in front stands
// for the start of a text and gives the bit of the byte alone. Looked up rather than hashed
// at each byte, since the texts of a million entries pass through here at every start.
const std::array<std::uint8_t, 65536> gct_listip_pair_bits = [] {
  std::array<std::uint8_t, 65536> bits{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    const unsigned folded = r_dravlistip_fold_byte(byte);
    bits[byte] = static_cast<std::uint8_t>(std::countr_zero(gct_listip_byte_bits[byte]));
    for (unsigned previous = 1; previous < 256; ++previous) {
      bits[previous << 8 | byte] = static_cast<std::uint8_t>(
          std::countr_zero(r_dravlistip_pair_bit(r_dravlistip_fold_byte(previous), folded)));
    }
  }
  return bits;
}();

// A dotted address and nothing else; "0.0.0.0" is an address too.
// Two or three dotted numbers of 0 to 255 name a network of /16 or /24: "192.0.2" is
// 192.0.2.0/24. Nothing for any other text.
std::optional<ts_ip_net_mask> r_dravlistip_short_network(std::string_view text) {
  const auto dots = std::count(text.begin(), text.end(), '.');
  if (dots < 1 || dots > 2 || text.find_first_not_of("0123456789.") != text.npos) {
    return std::nullopt;
  }
  std::uint64_t ip = 0;
  std::size_t start = 0;
  for (std::int64_t part = 0; part <= dots; ++part) {
    const std::size_t end = std::min(text.find('.', start), text.size());
    if (end == start || end - start > 3) {
      return std::nullopt;
    }
    const int number = std::stoi(std::string(text.substr(start, end - start)));
    if (number > 255) {
      return std::nullopt;
    }
    ip |= static_cast<std::uint64_t>(number) << (24 - 8 * part);
    start = end + 1;
  }
  return r_dravip_get_net_mask(ip, static_cast<int>(8 * (dots + 1)));
}

// Four dotted numbers and nothing else: meant as an address, whether or not it is one.
bool r_dravlistip_looks_like_address(std::string_view text) {
  return std::count(text.begin(), text.end(), '.') == 3 &&
         text.find_first_not_of("0123456789.") == text.npos && !text.starts_with('.') &&
         !text.ends_with('.') && text.find("..") == text.npos;
}

std::optional<std::uint64_t> r_dravlistip_exact_address(std::string_view text) {
  if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789.") != text.npos) {
    return std::nullopt;
  }
  const std::string copy(text);
  const std::uint64_t ip = r_dravip_string_to_ip(copy.c_str());
  if (ip == 0 && copy != "0.0.0.0") {
    return std::nullopt;
  }
  return ip;
}

// Index of the first entry of an address at or above `ip` (the count when none is).
std::size_t r_dravlistip_first_at_or_above(std::uint64_t ip) {
  std::int32_t first = 0;
  std::int32_t end = 0;
  r_dravlistip_ip_locate(ip, first, end);
  return static_cast<std::size_t>(first);
}

// Address and network queries: the matches are the entries from `first` to `end`, so the
// step lands on the start, or on the nearest end of the range in its direction.
std::int32_t r_dravlistip_find_in_range(std::size_t first, std::size_t end, std::size_t start,
                                        std::int32_t step) {
  if (first == end) {
    return -1;
  }
  if (start >= first && start < end) {
    return static_cast<std::int32_t>(start);
  }
  return static_cast<std::int32_t>(step > 0 ? first : end - 1);
}

// A text query as the scan uses it.
struct ts_text_search {
  std::string_view pc_text;  // folded
  std::uint64_t i_signature;
};

bool r_dravlistip_may_match(const ts_listip_entry& entry, const ts_text_search& search) {
  const std::uint64_t signature = entry.ai_signature[0] | std::uint64_t{entry.ai_signature[1]}
                                                              << 32;
  return (signature & search.i_signature) == search.i_signature;
}

// First match among positions `from` to `to` (both included, `from` - `to` having the sign
// of -`step`) of one block; -1 when none. The signatures pick the candidates; their texts are
// asked for a few candidates ahead, since they lie scattered in memory.
std::int64_t r_dravlistip_scan_block(std::span<const ts_listip_entry> block, std::int64_t from,
                                     std::int64_t to, std::int32_t step,
                                     const ts_text_search& search) {
  std::vector<std::int64_t> candidates;
  for (std::int64_t i = from; i != to + step; i += step) {
    if (r_dravlistip_may_match(block[static_cast<std::size_t>(i)], search)) {
      candidates.push_back(i);
    }
  }
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    if (k + FETCH_AHEAD < candidates.size()) {
      __builtin_prefetch(
          r_dravlistip_text(block[static_cast<std::size_t>(candidates[k + FETCH_AHEAD])].i_text));
    }
    const ts_listip_entry& entry = block[static_cast<std::size_t>(candidates[k])];
    const char* name = r_dravlistip_text(entry.i_text);
    if (r_dravlistip_text_matches(name, name + std::strlen(name) + 1, search.pc_text)) {
      return candidates[k];
    }
  }
  return -1;
}

// First text match from index `start` on in the direction of `step`, wrapping around once.
std::int32_t r_dravlistip_find_text(const ts_text_search& search, std::size_t start,
                                    std::int32_t step) {
  const auto blocks = r_dravlistip_blocks();
  std::vector<std::size_t> firsts(blocks.size() + 1, 0);
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    firsts[b + 1] = firsts[b] + blocks[b].size();
  }
  const auto count = static_cast<std::int64_t>(blocks.size());
  const auto home = static_cast<std::int64_t>(
      std::upper_bound(firsts.begin(), firsts.end(), start) - firsts.begin() - 1);
  // The home block is visited twice: from the start onward, and after the wrap up to it.
  for (std::int64_t visit = 0; visit <= count; ++visit) {
    const std::int64_t b = ((home + visit * step) % count + count) % count;
    const auto block = blocks[static_cast<std::size_t>(b)];
    const auto last = static_cast<std::int64_t>(block.size()) - 1;
    const auto offset = static_cast<std::int64_t>(start - firsts[static_cast<std::size_t>(b)]);
    std::int64_t from = step > 0 ? 0 : last;
    std::int64_t to = step > 0 ? last : 0;
    if (visit == 0) {
      from = offset;
    } else if (visit == count) {
      to = offset - step;
    }
    if ((to - from) * step < 0) {
      continue;  // nothing of the home block is left
    }
    const std::int64_t found = r_dravlistip_scan_block(block, from, to, step, search);
    if (found >= 0) {
      return static_cast<std::int32_t>(firsts[static_cast<std::size_t>(b)] +
                                       static_cast<std::size_t>(found));
    }
  }
  return -1;
}

// The prefixes of a name as it is stored: as it is, and with the undated mark.
std::pair<std::uint32_t, std::uint32_t> r_dravlistip_stored_prefixes(std::string_view name) {
  std::uint32_t prefixes[2] = {0, 0};
  const std::string marked = std::string(UNDATED_NAME_PREFIX) + std::string(name);
  const std::string_view texts[2] = {name, marked};
  for (int t = 0; t < 2; ++t) {
    for (std::size_t i = 0; i < 4; ++i) {
      const auto byte = i < texts[t].size() ? static_cast<unsigned char>(texts[t][i]) : 0u;
      prefixes[t] = prefixes[t] << 8 | byte;
    }
  }
  return {prefixes[0], prefixes[1]};
}

// A text query: colour codes are removed as from the names it is compared with, and ASCII
// letters folded.
std::optional<ts_listip_query> r_dravlistip_text_query(std::string_view text, std::string& error) {
  ts_listip_query query;
  query.te_kind = QUERY_TEXT;
  for (const char c : text) {
    if (!r_dravtools_is_color_code(static_cast<unsigned char>(c))) {
      query.pc_text += r_dravlistip_fold(c);
    }
  }
  if (query.pc_text.empty()) {
    error = "Empty query";
    return std::nullopt;
  }
  return query;
}

}  // namespace

std::uint64_t r_dravlistip_signature(std::string_view text, bool shown) {
  if (shown && !r_dravlistip_shown_as_is(text)) {
    return r_dravlistip_signature(r_dravtools_shown_text(text), false);
  }
  std::uint64_t signature = 0;
  unsigned previous = 0;  // the start of the text
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    signature |=
        gct_listip_byte_bits[byte] | gct_listip_bits[gct_listip_pair_bits[previous << 8 | byte]];
    previous = byte;
  }
  return signature;
}

std::optional<ts_listip_query> r_dravlistip_parse_query(std::string_view text, std::string& error) {
  if (text.empty()) {
    error = "Empty query";
    return std::nullopt;
  }
  ts_listip_query query;
  const std::size_t slash = text.find('/');
  const auto ip = r_dravlistip_exact_address(text.substr(0, slash));
  if (const auto network = r_dravlistip_short_network(text); network) {
    query.te_kind = QUERY_NETWORK;
    query.i_first_ip = network->net;
    query.i_last_ip = network->net | (~network->mask & 0xFFFFFFFFull);
    return query;
  }
  if (!ip && r_dravlistip_looks_like_address(text)) {
    error = "Bad address: " + std::string(text);
    return std::nullopt;
  }
  if (!ip) {
    return r_dravlistip_text_query(text, error);
  }
  if (slash == std::string_view::npos) {
    query.te_kind = QUERY_ADDRESS;
    query.i_first_ip = query.i_last_ip = *ip;
    return query;
  }
  const std::string_view prefix = text.substr(slash + 1);
  if (prefix.empty() || prefix.size() > 2 ||
      prefix.find_first_not_of("0123456789") != std::string_view::npos ||
      std::stoi(std::string(prefix)) > 32) {
    error = "Bad network: " + std::string(text);
    return std::nullopt;
  }
  const ts_ip_net_mask net = r_dravip_get_net_mask(*ip, std::stoi(std::string(prefix)));
  query.te_kind = QUERY_NETWORK;
  query.i_first_ip = net.net;
  query.i_last_ip = net.net | (~net.mask & 0xFFFFFFFFull);
  return query;
}

const char* r_dravlistip_seen_name(const ts_listip_data& entry) {
  const bool undated = entry.year == 0 && entry.month == 0 && entry.day == 0;
  return undated && std::string_view(entry.name).starts_with(UNDATED_NAME_PREFIX)
             ? entry.name + UNDATED_NAME_PREFIX.size()
             : entry.name;
}

std::int32_t r_dravlistip_find(const ts_listip_query& query, std::int32_t start,
                               std::int32_t step) {
  const auto count = static_cast<std::int64_t>(r_dravlistip_get_count());
  if (count == 0) {
    return -1;
  }
  const auto from =
      static_cast<std::size_t>((static_cast<std::int64_t>(start) % count + count) % count);
  const std::int32_t direction = step < 0 ? -1 : 1;
  if (query.te_kind != QUERY_TEXT) {
    const std::size_t end = query.i_last_ip >= 0xFFFFFFFFull
                                ? static_cast<std::size_t>(count)
                                : r_dravlistip_first_at_or_above(query.i_last_ip + 1);
    return r_dravlistip_find_in_range(r_dravlistip_first_at_or_above(query.i_first_ip), end, from,
                                      direction);
  }
  const ts_text_search search{query.pc_text, r_dravlistip_signature(query.pc_text, false)};
  return r_dravlistip_find_text(search, from, direction);
}

ts_listip_aliases r_dravlistip_aliases(std::uint64_t ip) {
  ts_listip_aliases aliases;
  std::int32_t first = 0;
  std::int32_t end = 0;
  r_dravlistip_ip_locate(ip, first, end);
  const auto list = r_dravlistip_get_list();
  std::map<std::string_view, ts_listip_data> names;
  for (std::int32_t i = first; i < end; ++i) {
    const ts_listip_data entry = list[static_cast<std::size_t>(i)];
    const auto [place, added] = names.emplace(r_dravlistip_plain_name(entry.name), entry);
    if (!added && r_dravlistip_earlier(entry, place->second)) {
      place->second = entry;
    }
  }
  std::set<std::uint32_t> prefixes;
  for (const auto& [name, entry] : names) {
    aliases.ats_names.push_back(entry);
    const auto [plain, marked] = r_dravlistip_stored_prefixes(name);
    prefixes.insert({plain, marked});
  }
  std::map<std::pair<std::uint64_t, std::string_view>, std::size_t> seen;
  std::size_t index = 0;
  for (const auto block : r_dravlistip_blocks()) {
    for (const ts_listip_entry& stored : block) {
      // Most entries bear none of the names, which their first bytes tell without their texts.
      if (stored.i_ip == ip || !prefixes.contains(stored.i_name_prefix)) {
        ++index;
        continue;
      }
      const ts_listip_data entry = list[index++];
      const std::string_view name = r_dravlistip_plain_name(entry.name);
      if (!names.contains(name)) {
        continue;
      }
      const auto [place, added] =
          seen.emplace(std::pair(entry.ip, name), aliases.ats_addresses.size());
      if (added) {
        aliases.ats_addresses.push_back(entry);
      } else if (r_dravlistip_earlier(entry, aliases.ats_addresses[place->second])) {
        aliases.ats_addresses[place->second] = entry;
      }
    }
  }
  return aliases;
}
