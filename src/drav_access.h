// Layer 3 (link, parsers, access list, IP history): calls layers 1 and 2.
// The access list: networks with levels, read from two files at start and
// extended by bans.
#pragma once

#include <cstddef>
#include <cstdint>

struct ts_config;

/// Level of an address that no entry matches.
inline constexpr std::int32_t ACCESS_LEVEL_DEFAULT = 1;

/// Empties the list, then reads access_list_file_add (may be missing) and access_list_file
/// (must exist when named). Bad lines are fatal, with the file and the line.
void r_dravaccess_init(const ts_config& config);
/// Writes the ban blocks that wait because the additions file could not be written.
void r_dravaccess_run();
/// Writes what waits (telling what is lost), frees the list, forgets the configuration and keeps nothing of the bans made; the function
/// registered with r_dravaccess_set_changed_function stays for its owner to remove.
void r_dravaccess_finish();
/// Number of entries read from the two files and added by bans since the last init.
std::size_t r_dravaccess_get_entry_count();
/// Level of the first entry (bans first, then the add file, then the main file) covering
/// `ip`, or 1; fills `comment` (a 513-byte field, may be null) with that entry's comment.
std::int32_t r_dravaccess_get_access_level(std::uint64_t ip, char* comment);
/// Told the address whose level a ban changed.
using ts_access_changed_function = void (*)(std::uint64_t ip);

/// Registers the one function that a ban tells about the address it changed (null: none).
/// The IP history registers itself here, so that the access list needs nothing above it.
void r_dravaccess_set_changed_function(ts_access_changed_function changed);
/// Puts a single-address entry at the head of the list, appends its block to
/// access_list_file_add (a block that cannot be written waits in memory, at most 10000, for
/// r_dravaccess_run) and tells the registered function about the address.
void r_dravaccess_add_ip(std::uint64_t ip, const char* comment, const char* reason,
                         std::int32_t level);
/// The ban: r_dravaccess_add_ip with level 0.
void r_dravaccess_block_ip(std::uint64_t ip, const char* comment, const char* reason);
