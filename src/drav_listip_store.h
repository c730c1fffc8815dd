// Layer 3: the compact storage of the IP history, shared by its loading and insertion
// (drav_listip.cpp) and its find code (drav_listip_find.cpp). Nothing outside the history
// includes it.
//
// A million entries must fit in little more than their texts: an entry is 28 bytes and
// points into a text arena that never moves, where its name and host names lie together as
// "name\0hosts\0". The sorted entries are kept in blocks of a few thousand, so that an
// insertion moves one block and never the whole list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

/// Marks the name of an undated line in memory, so that a later dated sighting of the name
/// is a new entry.
constexpr std::string_view UNDATED_NAME_PREFIX = "\\ ";

/// One stored entry. The history holds IPv4 addresses only, so 32 bits are enough.
struct ts_listip_entry {
  std::uint32_t i_ip;
  std::int32_t i_date;  // year * 10000 + month * 100 + day, as the file's number; 0 undated
  std::int32_t i_access_level;
  std::uint32_t i_text;           // reference of "name\0hosts\0" in the arena
  std::uint32_t i_name_prefix;    // first four bytes of the name, big-endian, zero after its end
  std::uint32_t ai_signature[2];  // r_dravlistip_signature of the name as shown and the hosts
};

/// The texts of a stored entry: the name (with the undated mark when it has one) and the
/// host names, both NUL-terminated in the arena.
const char* r_dravlistip_text(std::uint32_t text);

/// The blocks of sorted entries, in order; valid until the next insertion.
std::span<const std::span<const ts_listip_entry>> r_dravlistip_blocks();

/// Bits of the folded letters and letter pairs of `text`: a text that contains another has
/// at least its bits. `shown` removes colour codes and spells game characters as the screen
/// does; host names are taken as they are.
std::uint64_t r_dravlistip_signature(std::string_view text, bool shown);
