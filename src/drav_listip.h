// Layer 3 (link, parsers, access list, IP history): calls the access list and layers 1 and 2.
// The IP history: every (address, name, host names) triple ever seen, sorted in
// memory and appended to the history file.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

/// How the history file is read at a load.
enum te_listip_load : std::int32_t {
  LOAD_OWNED,   // the monitor's own file: a last line without its line feed stops the load
  LOAD_SHARED,  // read beside a running monitor, whose append may be under way: such a last
                // line is left out
};

/// Loads log_file_ip (which must exist) with one sort at the end; levels from the access list.
void r_dravlistip_init(const ts_config& config, te_listip_load te_load = LOAD_OWNED);
/// Records the sightings still waiting for a look-up without host names, writes what waits
/// (telling what is lost), frees the entries and their texts, removes the history from the
/// access list's changed function and forgets the configuration. The inserted function stays for its owner to remove.
void r_dravlistip_finish();
/// Records a sighting: a new triple is inserted in order, the registered function is told its
/// index, and it is appended to the file (a line that cannot be written waits in memory, at
/// most 10000, and is written by a later run). `hostnames` may be null: while a look-up of
/// `ip` is under way the sighting waits for it, else it has no host names.
void r_dravlistip_add_ip_name(std::uint64_t ip, const char* name, const char* hostnames);
/// Records a sighting of `ip` with the host names that a reverse look-up beside the program
/// finds: the sighting is recorded by the run that takes the look-up's answer, or without host
/// names once 10 s have passed (or at finish). Never waits.
void r_dravlistip_add_ip_name_look_up(std::uint64_t ip, const char* name);
/// One step of the history between polls: records the sightings whose look-up ended or ran
/// out of time, and writes the lines that wait. Never waits.
void r_dravlistip_run();
/// Sightings that wait for a look-up, and lines that wait to be written.
std::size_t r_dravlistip_lookups_waiting();
std::size_t r_dravlistip_lines_waiting();
/// Told the address and host names (null: none) of every look-up that ended in time.
using ts_listip_looked_up_function = void (*)(std::uint64_t ip, const char* hostnames);
/// Registers the one function that ended look-ups are told to (null: none).
void r_dravlistip_set_looked_up_function(ts_listip_looked_up_function looked_up);
/// Refreshes the access level of every entry of exactly `ip`.
void r_dravlistip_update_ip_access(std::uint64_t ip);
/// First index of `ip`'s entries and one past its last (equal when it has none).
void r_dravlistip_ip_locate(std::uint64_t ip, std::int32_t& first, std::int32_t& end);
/// Number of entries.
std::size_t r_dravlistip_get_count();
/// The entry at `index` (below the count), made from the compact storage.
ts_listip_data r_dravlistip_get_entry(std::size_t index);

/// A read-only view of the sorted entries: indices and iterators follow the list as it is at
/// each use, so an insertion shifts what an index denotes. Entries come by value.
class ts_listip_view {
 public:
  /// Random-access position in the list.
  class ts_iterator {
   public:
    using iterator_concept = std::random_access_iterator_tag;
    using iterator_category = std::random_access_iterator_tag;
    using value_type = ts_listip_data;
    using difference_type = std::ptrdiff_t;
    using reference = ts_listip_data;
    using pointer = void;

    ts_iterator() = default;
    explicit ts_iterator(std::size_t index) : i_index(index) {}
    ts_listip_data operator*() const { return r_dravlistip_get_entry(i_index); }
    ts_listip_data operator[](difference_type n) const { return *(*this + n); }
    ts_iterator& operator++() { return *this += 1; }
    ts_iterator operator++(int) {
      const ts_iterator old = *this;
      ++*this;
      return old;
    }
    ts_iterator& operator--() { return *this -= 1; }
    ts_iterator operator--(int) {
      const ts_iterator old = *this;
      --*this;
      return old;
    }
    ts_iterator& operator+=(difference_type n) {
      i_index = static_cast<std::size_t>(static_cast<difference_type>(i_index) + n);
      return *this;
    }
    ts_iterator& operator-=(difference_type n) { return *this += -n; }
    friend ts_iterator operator+(ts_iterator it, difference_type n) { return it += n; }
    friend ts_iterator operator+(difference_type n, ts_iterator it) { return it += n; }
    friend ts_iterator operator-(ts_iterator it, difference_type n) { return it -= n; }
    friend difference_type operator-(ts_iterator a, ts_iterator b) {
      return static_cast<difference_type>(a.i_index) - static_cast<difference_type>(b.i_index);
    }
    friend bool operator==(ts_iterator a, ts_iterator b) { return a.i_index == b.i_index; }
    friend auto operator<=>(ts_iterator a, ts_iterator b) { return a.i_index <=> b.i_index; }

   private:
    std::size_t i_index = 0;
  };

  /// Number of entries now.
  std::size_t size() const { return r_dravlistip_get_count(); }
  /// True when the history holds no entry.
  bool empty() const { return size() == 0; }
  /// The entry at `index`, below size().
  ts_listip_data operator[](std::size_t index) const { return r_dravlistip_get_entry(index); }
  /// Position of the first entry.
  ts_iterator begin() const { return ts_iterator(0); }
  /// Position one past the last entry.
  ts_iterator end() const { return ts_iterator(size()); }
};

/// The sorted entries; texts stay valid until r_dravlistip_finish.
ts_listip_view r_dravlistip_get_list();
/// Told the index at which a new entry was inserted.
using ts_listip_inserted_function = void (*)(std::int32_t index);
/// Registers the one function that every insertion is told to (null: none). The screen
/// registers itself here to keep its selection on its entry, so that the history needs
/// nothing above it.
void r_dravlistip_set_inserted_function(ts_listip_inserted_function inserted);

/// What a find query asks for.
enum te_listip_query_kind : std::int32_t {
  QUERY_ADDRESS,  // "192.0.2.7": that address's entries
  QUERY_NETWORK,  // "192.0.2.0/24": every entry inside the network
  QUERY_TEXT,     // anything else: a part of a name as shown, or of the host names
};

/// A parsed find query.
struct ts_listip_query {
  te_listip_query_kind te_kind = QUERY_TEXT;
  std::uint64_t i_first_ip = 0;  // address and network: the addresses matched, both included
  std::uint64_t i_last_ip = 0;
  std::string pc_text;  // text: the query with ASCII letters in lower case
};

/// Parses a find query: a dotted address, an address with "/n" (n 0..32, host bits ignored),
/// two or three dotted numbers for the /16 or /24 network they name, or any other text (its
/// colour codes removed). Nothing, and `error` says why, for an empty query, a bad network,
/// or four dotted numbers that are no address.
std::optional<ts_listip_query> r_dravlistip_parse_query(std::string_view text, std::string& error);
/// Index of the first matching entry from `start` on, stepping by `step` (1 or -1) and
/// wrapping around the list; -1 when no entry matches. `start` may lie outside the list.
std::int32_t r_dravlistip_find(const ts_listip_query& query, std::int32_t start, std::int32_t step);
/// The entry's name as it was seen: without the mark that an undated entry's name carries
/// in memory (its day already tells it is undated).
const char* r_dravlistip_seen_name(const ts_listip_data& entry);

/// Who else an address is: the names seen from it and the other addresses of those names.
struct ts_listip_aliases {
  /// One entry per name seen from the address, dated with the day it was first seen, in
  /// name order.
  std::vector<ts_listip_data> ats_names;
  /// One entry per other address and name of `ats_names` seen on it, with the first day and
  /// the address's access level, in list order.
  std::vector<ts_listip_data> ats_addresses;
};
/// The aliases of `ip`; both parts empty when the history has no entry of it.
ts_listip_aliases r_dravlistip_aliases(std::uint64_t ip);
