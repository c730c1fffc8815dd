// Layer 3 (link, parsers, access list, IP history): calls the access list and layers 1 and 2.
// The IP history: every (address, name, host names) triple ever seen, sorted in
// memory and appended to the history file.
#pragma once

#include <cstdint>
#include <span>

struct ts_config;

/// One history entry. The texts belong to the module and live until the program ends.
struct ts_listip_data {
  std::int32_t year = 0;  // 0 for an undated file line
  std::int32_t month = 0;
  std::int32_t day = 0;
  std::uint64_t ip = 0;
  const char* name = "";
  const char* hostnames = "";  // "name;alias;...", empty when none
  std::int32_t access_level = 0;
};

/// Set to 1 whenever the list or a level changed; the screen clears it.
extern std::int32_t gb_dravlistip_changed;

/// Loads log_file_ip (which must exist) with one sort at the end; levels from the access list.
void r_dravlistip_init(const ts_config& config);
/// Records a sighting: a new triple is inserted in order, the registered function is told its
/// index, and it is appended to the file. `hostnames` may be null.
void r_dravlistip_add_ip_name(std::uint64_t ip, const char* name, const char* hostnames);
/// Refreshes the access level of every entry of exactly `ip`.
void r_dravlistip_update_ip_access(std::uint64_t ip);
/// First index of `ip`'s entries and one past its last (equal when it has none).
void r_dravlistip_ip_locate(std::uint64_t ip, std::int32_t& first, std::int32_t& end);
/// The sorted entries; valid until the next insertion.
std::span<const ts_listip_data> r_dravlistip_get_list();
/// Told the index at which a new entry was inserted.
using ts_listip_inserted_function = void (*)(std::int32_t index);
/// Registers the one function that every insertion is told to (null: none). The screen
/// registers itself here to keep its selection on its entry, so that the history needs
/// nothing above it.
void r_dravlistip_set_inserted_function(ts_listip_inserted_function inserted);
