// The IP history. Operators keep the history file for years, so a million lines is a
// realistic size, and the monitor must hold it in little more memory than the file takes:
// the file is read in chunks of a few megabytes, each line becomes a compact entry whose
// texts go to an arena that never moves, the entries are sorted once in place, and then they
// are cut into the blocks in which insertions happen.
#include "drav_listip.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <numeric>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip_store.h"
#include "drav_log.h"
#include "drav_tools.h"

namespace {

// Layout of a history line: date, blank, 15-column address, blank, name\hostnames.
constexpr std::size_t ADDRESS_COLUMN = 9;
constexpr std::size_t ADDRESS_WIDTH = 15;
constexpr std::size_t NAME_COLUMN = 25;
// Entries per block after the load and after a split; a block is split when it holds twice
// as many, so an insertion moves at most that many entries (about 230 kB).
constexpr std::size_t BLOCK_ENTRIES = 4096;
// The file is read in pieces of this size; a longer line gets a larger buffer.
constexpr std::size_t READ_CHUNK = std::size_t{4} << 20;
// Lines that wait in memory while the file cannot be written (a full disk): a day of a busy
// server, a few megabytes at most.
constexpr std::size_t WAITING_LINES_MAX = 10000;
// How long a sighting waits for the host names of its address before it is recorded without.
constexpr std::chrono::seconds LOOK_UP_BOUND{10};
constexpr const char* LOG_LABEL = "IP     ";

// Owns the texts of the entries in blocks that are never moved or freed while entries refer
// to them. A reference is 32 bits: the block number in the high bits and the offset in the
// low ones; a text longer than a block gets a block of its own.
class ts_text_arena {
 public:
  static constexpr unsigned OFFSET_BITS = 22;
  static constexpr std::size_t BLOCK_SIZE = std::size_t{1} << OFFSET_BITS;
  static constexpr std::size_t MAX_BLOCKS = std::size_t{1} << (32 - OFFSET_BITS);

  // Stores `mark` and `name`, a NUL, `hosts` and a NUL together; gives the reference.
  std::uint32_t store(std::string_view mark, std::string_view name, std::string_view hosts) {
    const std::size_t size = mark.size() + name.size() + hosts.size() + 2;
    if (size > i_left) {
      r_dravlistip_new_block(size);
    }
    // std::copy rather than memcpy: an empty view may have no data pointer at all.
    char* end = std::copy(mark.begin(), mark.end(), apc_blocks.back().get() + i_used);
    end = std::copy(name.begin(), name.end(), end);
    *end++ = '\0';
    end = std::copy(hosts.begin(), hosts.end(), end);
    *end = '\0';
    const auto reference =
        static_cast<std::uint32_t>((apc_blocks.size() - 1) << OFFSET_BITS | i_used);
    i_used += size;
    i_left -= size;
    return reference;
  }

  const char* text(std::uint32_t reference) const {
    return apc_blocks[reference >> OFFSET_BITS].get() + (reference & (BLOCK_SIZE - 1));
  }

 private:
  void r_dravlistip_new_block(std::size_t size) {
    if (apc_blocks.size() == MAX_BLOCKS) {
      r_dravlog_error("./src/drav_listip - The history's texts exceed %zu MiB\n",
                      MAX_BLOCKS * BLOCK_SIZE >> 20);
    }
    // Pages of the block that no text reaches are never touched, so they cost no memory.
    apc_blocks.push_back(std::make_unique_for_overwrite<char[]>(std::max(BLOCK_SIZE, size)));
    i_used = 0;
    i_left = size > BLOCK_SIZE ? size : BLOCK_SIZE;
  }

  std::vector<std::unique_ptr<char[]>> apc_blocks;
  std::size_t i_used = 0;
  std::size_t i_left = 0;
};

// Whole-page storage for the entries as they are loaded and sorted, reserved for as many lines
// as the file can hold: reserved pages that are never written take no memory. The sorted
// entries stay there, cut into blocks, and the pages of a block are handed back when an
// insertion moves it into a vector of its own.
class ts_load_entries {
 public:
  explicit ts_load_entries(std::size_t capacity) { r_dravlistip_map(capacity); }
  ts_load_entries(const ts_load_entries&) = delete;
  ts_load_entries& operator=(const ts_load_entries&) = delete;
  ~ts_load_entries() { r_dravlistip_unmap(0); }

  void push_back(const ts_listip_entry& entry) {
    if (i_size == i_capacity) {
      r_dravlistip_grow();
    }
    pts_data[i_size++] = entry;
  }
  ts_listip_entry* begin() const { return pts_data; }
  ts_listip_entry* end() const { return pts_data + i_size; }
  std::size_t size() const { return i_size; }

  // Gives back the pages past the first `count` entries.
  void shrink(std::size_t count) {
    i_size = std::min(i_size, count);
    r_dravlistip_unmap(count);
  }

  // Gives back the memory of the pages that lie wholly within `count` entries from `first`,
  // which are no longer used.
  void release(const ts_listip_entry* first, std::size_t count) const {
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = (reinterpret_cast<std::uintptr_t>(first) + page - 1) / page * page;
    const auto end = reinterpret_cast<std::uintptr_t>(first + count) / page * page;
    if (start < end) {
      // The pages are emptied rather than unmapped: the mapping keeps their addresses, so no
      // other mapping can take them before the whole one is unmapped. Whole pages of a
      // mapping of ours cannot fail.
      (void)madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
    }
  }

 private:
  static std::size_t r_dravlistip_pages(std::size_t count) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (count * sizeof(ts_listip_entry) + page - 1) / page * page;
  }

  void r_dravlistip_map(std::size_t capacity) {
    i_capacity = std::max<std::size_t>(capacity, 1);
    i_mapped = r_dravlistip_pages(i_capacity);
    void* memory =
        mmap(nullptr, i_mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
      r_dravlog_error("./src/drav_listip - No memory for %zu entries\n", i_capacity);
    }
    pts_data = static_cast<ts_listip_entry*>(memory);
  }

  void r_dravlistip_unmap(std::size_t count) {
    const std::size_t kept = count == 0 ? 0 : r_dravlistip_pages(count);
    if (pts_data != nullptr && kept < i_mapped) {
      // Only whole pages of a mapping of ours are given back, which cannot fail.
      (void)munmap(reinterpret_cast<char*>(pts_data) + kept, i_mapped - kept);
      i_mapped = kept;
    }
  }

  // The file grew after it was measured: a larger mapping takes the entries.
  void r_dravlistip_grow() {
    ts_listip_entry* old = pts_data;
    const std::size_t old_mapped = i_mapped;
    r_dravlistip_map(i_capacity * 2);
    std::memcpy(static_cast<void*>(pts_data), old, i_size * sizeof(ts_listip_entry));
    (void)munmap(old, old_mapped);  // a whole mapping of ours
  }

  ts_listip_entry* pts_data = nullptr;
  std::size_t i_size = 0;
  std::size_t i_capacity = 0;
  std::size_t i_mapped = 0;
};

// A block of sorted entries. After the load it lies in the loaded pages; the first insertion
// into it moves it into a vector of its own with room to grow.
struct ts_listip_block {
  std::vector<ts_listip_entry> ats_owned;  // empty while the block lies in the loaded pages
  std::span<ts_listip_entry> o_entries;    // the entries, wherever they lie
};

// Sightings of one address whose host names are being looked up, in the order they came.
struct ts_listip_lookup {
  std::uint32_t i_ip = 0;
  std::chrono::steady_clock::time_point t_deadline;
  std::vector<std::string> apc_names;
};

// Everything the history holds. Init and finish replace it as a whole, which frees what it
// held.
struct ts_listip_state {
  ts_append_queue o_file;
  std::vector<ts_listip_lookup> ats_lookups;
  std::unique_ptr<ts_load_entries> po_loaded;  // the pages of the blocks not yet moved
  std::vector<ts_listip_block> ats_blocks;     // sorted, none empty
  std::vector<std::span<const ts_listip_entry>> ats_block_views;
  std::vector<std::size_t> ai_block_first;  // index of each block's first entry
  std::size_t i_count = 0;
  std::size_t i_block_hint = 0;  // block of the last index looked up
  ts_text_arena o_texts;
};

const ts_config* gpts_config = nullptr;
te_listip_load gte_listip_load = LOAD_OWNED;
ts_listip_state go_history;
ts_listip_inserted_function gpf_inserted = nullptr;
ts_listip_looked_up_function gpf_looked_up = nullptr;

// The first four bytes of a text as a big-endian number, zero after its end, so that
// numbers compare as strcmp compares the texts, ties aside.
std::uint32_t r_dravlistip_text_prefix(const char* text) {
  std::uint32_t prefix = 0;
  int taken = 0;
  for (; taken < 4 && text[taken] != '\0'; ++taken) {
    prefix = prefix << 8 | static_cast<unsigned char>(text[taken]);
  }
  return taken == 0 ? 0 : prefix << (8 * (4 - taken));
}

// Address, then name, then host names, byte-wise; strcmp's result convention.
int r_dravlistip_compare(const ts_listip_entry& a, const ts_listip_entry& b) {
  if (a.i_ip != b.i_ip) {
    return a.i_ip < b.i_ip ? -1 : 1;
  }
  if (a.i_name_prefix != b.i_name_prefix) {
    return a.i_name_prefix < b.i_name_prefix ? -1 : 1;
  }
  const char* name_a = go_history.o_texts.text(a.i_text);
  const char* name_b = go_history.o_texts.text(b.i_text);
  const int by_name = std::strcmp(name_a, name_b);
  if (by_name != 0) {
    return by_name;
  }
  return std::strcmp(name_a + std::strlen(name_a) + 1, name_b + std::strlen(name_b) + 1);
}

// The address and the name's first bytes decide nearly every comparison without the texts,
// which lie scattered in the arena.
bool r_dravlistip_less(const ts_listip_entry& a, const ts_listip_entry& b) {
  const std::uint64_t key_a = std::uint64_t{a.i_ip} << 32 | a.i_name_prefix;
  const std::uint64_t key_b = std::uint64_t{b.i_ip} << 32 | b.i_name_prefix;
  if (key_a != key_b) {
    return key_a < key_b;
  }
  return r_dravlistip_compare(a, b) < 0;
}

// Sorts the loaded entries in place. They are first dealt out by the high half of their
// address, each into the part of the array where its group ends up, and then every group is
// sorted on its own: the groups are small enough to be sorted within the caches.
void r_dravlistip_sort(ts_listip_entry* first, ts_listip_entry* last) {
  constexpr std::size_t GROUPS = std::size_t{1} << 16;
  const auto group_of = [](const ts_listip_entry& entry) { return std::size_t{entry.i_ip >> 16}; };
  std::vector<std::size_t> starts(GROUPS + 1, 0);
  for (const ts_listip_entry* entry = first; entry != last; ++entry) {
    ++starts[group_of(*entry) + 1];
  }
  std::partial_sum(starts.begin(), starts.end(), starts.begin());
  std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
  for (std::size_t group = 0; group < GROUPS; ++group) {
    while (next[group] < starts[group + 1]) {
      ts_listip_entry& entry = first[next[group]];
      const std::size_t home = group_of(entry);
      if (home == group) {
        ++next[group];
      } else {
        std::swap(entry, first[next[home]++]);
      }
    }
  }
  // A lambda rather than the function's address lets the sort inline the comparison.
  for (std::size_t group = 0; group < GROUPS; ++group) {
    std::sort(
        first + starts[group], first + starts[group + 1],
        [](const ts_listip_entry& a, const ts_listip_entry& b) { return r_dravlistip_less(a, b); });
  }
}

// The date number at the start of a line, by the rules of strtol. History lines start with
// eight digits, which are read directly; anything else goes through strtol. An entry keeps
// the number in 32 bits; one beyond them (no date a history writes) is held at the limit.
std::int32_t r_dravlistip_read_date(const char* line, std::size_t length) {
  long value = 0;
  std::size_t digits = 0;
  for (; digits < length && digits < 9 && line[digits] >= '0' && line[digits] <= '9'; ++digits) {
    value = value * 10 + (line[digits] - '0');
  }
  if (digits < 1 || digits > 8 || digits >= length) {
    const std::string copy(line, length);
    value = std::strtol(copy.c_str(), nullptr, 10);
  }
  return static_cast<std::int32_t>(std::clamp<long>(value, std::numeric_limits<std::int32_t>::min(),
                                                    std::numeric_limits<std::int32_t>::max()));
}

// The address column (r_dravip_string_to_ip rules); nothing when it holds no address. The
// common form, four numbers of one to three digits up to 255 with dots between them and
// blanks after them, is read here.
std::optional<std::uint32_t> r_dravlistip_read_address(const char* column) {
  std::uint32_t address = 0;
  std::size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    unsigned number = 0;
    std::size_t digits = 0;
    for (; digits < 3 && at < ADDRESS_WIDTH && column[at] >= '0' && column[at] <= '9'; ++digits) {
      number = number * 10 + static_cast<unsigned>(column[at++] - '0');
    }
    const char next = at < ADDRESS_WIDTH ? column[at] : ' ';
    if (digits == 0 || number > 255 || next != (part < 3 ? '.' : ' ')) {
      char copy[ADDRESS_WIDTH + 1];
      std::memcpy(copy, column, ADDRESS_WIDTH);
      copy[ADDRESS_WIDTH] = '\0';
      const std::optional<std::uint64_t> parsed = r_dravip_parse_ip(copy);
      if (!parsed) {
        return std::nullopt;
      }
      return static_cast<std::uint32_t>(*parsed);
    }
    address = address << 8 | number;
    at += part < 3 ? 1 : 0;
  }
  return address;
}

// Fills the texts, the name prefix and the signature of an entry.
void r_dravlistip_store_texts(ts_listip_entry& entry, std::string_view mark, std::string_view name,
                              std::string_view hosts) {
  entry.i_text = go_history.o_texts.store(mark, name, hosts);
  const char* stored = go_history.o_texts.text(entry.i_text);
  entry.i_name_prefix = r_dravlistip_text_prefix(stored);
  const std::uint64_t signature =
      r_dravlistip_signature({stored, mark.size() + name.size()}, true) |
      r_dravlistip_signature(hosts, false);
  entry.ai_signature[0] = static_cast<std::uint32_t>(signature);
  entry.ai_signature[1] = static_cast<std::uint32_t>(signature >> 32);
}

// One line without its end; it is not NUL-terminated. A line too short to hold a name, or
// whose address column holds no address (a line of some other file), stops the start.
ts_listip_entry r_dravlistip_parse_line(const char* path, std::size_t number, const char* line,
                                        std::size_t length) {
  const std::optional<std::uint32_t> address =
      length < NAME_COLUMN ? std::nullopt : r_dravlistip_read_address(line + ADDRESS_COLUMN);
  if (!address) {
    r_dravlog_error("./src/drav_listip - Invalid line in %s (line %zu %s): %s\n", path, number,
                    length < NAME_COLUMN ? "is too short" : "has no address",
                    std::string(line, length).c_str());
  }
  ts_listip_entry entry{};
  entry.i_date = r_dravlistip_read_date(line, length);
  entry.i_ip = *address;

  const std::string_view rest(line + NAME_COLUMN, length - NAME_COLUMN);
  const std::size_t backslash = rest.find('\\');
  const std::string_view name = rest.substr(0, backslash);
  const std::string_view hosts =
      backslash == std::string_view::npos ? std::string_view() : rest.substr(backslash + 1);
  // Year, month and day are all 0 exactly when the date number is 0.
  r_dravlistip_store_texts(entry, entry.i_date == 0 ? UNDATED_NAME_PREFIX : std::string_view(),
                           name, hosts);
  return entry;
}

// Parses the whole lines at the start of `text` and gives how many bytes they took. A line
// that damaged bytes left behind, or the last line of the file without its line feed (an
// append cut short), stops the start, so that the operator sees it rather than an entry with
// a cut name or address.
std::size_t r_dravlistip_parse_lines(const char* path, std::string_view text, bool at_end,
                                     std::size_t& number, ts_load_entries& entries) {
  std::size_t taken = 0;
  while (taken < text.size()) {
    const std::size_t feed = text.find('\n', taken);
    if (feed == std::string_view::npos && (!at_end || gte_listip_load == LOAD_SHARED)) {
      break;  // the rest of the line comes with the next piece, or with the writer's append
    }
    const std::size_t end = feed == std::string_view::npos ? text.size() : feed + 1;
    const std::string_view line = text.substr(taken, end - taken);
    taken = end;
    ++number;
    std::string_view content = line.substr(0, line.size() - (line.ends_with('\n') ? 1 : 0));
    if (const char* fault = r_dravtools_line_fault(line); fault != nullptr) {
      r_dravlog_error("./src/drav_listip - Invalid line in %s (line %zu %s): %s\n", path, number,
                      fault, std::string(content).c_str());
    }
    if (content.ends_with('\r')) {
      content.remove_suffix(1);
    }
    if (!content.empty()) {
      entries.push_back(r_dravlistip_parse_line(path, number, content.data(), content.size()));
    }
  }
  return taken;
}

// Reads the file piece by piece; a line that a piece cuts is completed from the next one.
void r_dravlistip_read_file(const char* path, std::FILE* file, ts_load_entries& entries) {
  std::vector<char> buffer(READ_CHUNK);
  std::size_t kept = 0;  // bytes of an unfinished line at the start of the buffer
  std::size_t number = 0;
  for (bool at_end = false; !at_end;) {
    if (kept == buffer.size()) {
      buffer.resize(buffer.size() * 2);  // a line longer than the buffer
    }
    const std::size_t got = std::fread(buffer.data() + kept, 1, buffer.size() - kept, file);
    if (std::ferror(file) != 0) {
      // A history read in part (or a directory put in the file's place) would be taken
      // for the whole one, and every sighting of what was missed written again.
      r_dravlog_error("./src/drav_listip - File %s could not be read (%s)\n", path,
                      std::strerror(errno));
    }
    at_end = got < buffer.size() - kept;
    const std::string_view text(buffer.data(), kept + got);
    const std::size_t taken = r_dravlistip_parse_lines(path, text, at_end, number, entries);
    kept = text.size() - taken;
    std::memmove(buffer.data(), buffer.data() + taken, kept);
  }
}

// The access level of each entry; entries of one address are neighbours after the sort,
// so each address is looked up once.
void r_dravlistip_fill_levels(ts_listip_entry* first, ts_listip_entry* last) {
  for (ts_listip_entry* entry = first; entry != last;) {
    const std::uint32_t ip = entry->i_ip;
    const std::int32_t level = r_dravaccess_get_access_level(ip, nullptr);
    for (; entry != last && entry->i_ip == ip; ++entry) {
      entry->i_access_level = level;
    }
  }
}

// Block numbers, first indices and views after blocks changed from block `from` on.
void r_dravlistip_index_blocks(std::size_t from) {
  ts_listip_state& state = go_history;
  state.ai_block_first.resize(state.ats_blocks.size());
  state.ats_block_views.resize(state.ats_blocks.size());
  std::size_t first =
      from == 0 ? 0 : state.ai_block_first[from - 1] + state.ats_blocks[from - 1].o_entries.size();
  for (std::size_t block = from; block < state.ats_blocks.size(); ++block) {
    state.ai_block_first[block] = first;
    state.ats_block_views[block] = state.ats_blocks[block].o_entries;
    first += state.ats_blocks[block].o_entries.size();
  }
  state.i_count = first;
}

// Cuts the sorted entries into blocks where they lie.
void r_dravlistip_make_blocks(std::unique_ptr<ts_load_entries> entries) {
  const std::size_t count = entries->size();
  entries->shrink(count);  // the pages that no entry reached
  go_history.ats_blocks.resize((count + BLOCK_ENTRIES - 1) / BLOCK_ENTRIES);
  for (std::size_t block = 0; block < go_history.ats_blocks.size(); ++block) {
    const std::size_t first = block * BLOCK_ENTRIES;
    go_history.ats_blocks[block].o_entries = {entries->begin() + first,
                                              std::min(BLOCK_ENTRIES, count - first)};
  }
  go_history.po_loaded = std::move(entries);
  r_dravlistip_index_blocks(0);
}

// Block and place in it of the entry at `index` (below the count).
// Screens and scans ask for neighbouring indices, so the block of the last answer is tried
// before the search.
std::pair<std::size_t, std::size_t> r_dravlistip_locate_index(std::size_t index) {
  const auto& firsts = go_history.ai_block_first;
  std::size_t block = go_history.i_block_hint;
  if (block >= firsts.size() || index < firsts[block] ||
      index - firsts[block] >= go_history.ats_blocks[block].o_entries.size()) {
    block = static_cast<std::size_t>(std::upper_bound(firsts.begin(), firsts.end(), index) -
                                     firsts.begin()) -
            1;
    go_history.i_block_hint = block;
  }
  return {block, index - firsts[block]};
}

// Index of the first entry that `before` does not put before the key: the block is the
// first whose last entry is not before it.
template <typename ts_before>
std::pair<std::size_t, std::size_t> r_dravlistip_lower_bound(ts_before before) {
  const auto& blocks = go_history.ats_blocks;
  const auto block = std::partition_point(
      blocks.begin(), blocks.end(),
      [&](const ts_listip_block& candidate) { return before(candidate.o_entries.back()); });
  if (block == blocks.end()) {
    return {blocks.size(), 0};
  }
  const auto place = std::partition_point(block->o_entries.begin(), block->o_entries.end(), before);
  return {static_cast<std::size_t>(block - blocks.begin()),
          static_cast<std::size_t>(place - block->o_entries.begin())};
}

std::size_t r_dravlistip_index_of(std::pair<std::size_t, std::size_t> place) {
  return place.first == go_history.ats_blocks.size()
             ? go_history.i_count
             : go_history.ai_block_first[place.first] + place.second;
}

// Index of the first entry of `ip`, or of the first entry after where it would be.
std::size_t r_dravlistip_ip_lower_bound(std::uint64_t ip) {
  if (ip > std::numeric_limits<std::uint32_t>::max()) {
    return go_history.i_count;
  }
  return r_dravlistip_index_of(
      r_dravlistip_lower_bound([ip](const ts_listip_entry& entry) { return entry.i_ip < ip; }));
}

// Dates a new entry with today's local date. A clock without a calendar date (far outside
// the years 0..9999) leaves the entry undated, as the file format has it, rather than
// writing a date that is none; the next start then reads it as an undated line.
std::int32_t r_dravlistip_date_today(std::uint64_t ip, const char* name) {
  std::tm local{};
  if (!r_dravtools_local_time(std::time(nullptr), local)) {
    r_dravlog_notice("IP     No calendar date for today: %s %s is recorded undated\n",
                     r_dravip_ip_to_text(ip).c_str(), name);
    return 0;
  }
  return (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

void r_dravlistip_append_line(const ts_listip_data& entry) {
  char head[64];
  // A year of 0..9999 (r_dravtools_local_time), two-digit month and day and a dotted address
  // always fit.
  (void)std::snprintf(head, sizeof head, "%04d%02d%02d %-15s ", entry.year, entry.month, entry.day,
                      r_dravip_ip_to_text(entry.ip).c_str());
  std::string line = head;
  line += entry.name;
  line += '\\';
  line += entry.hostnames;
  line += '\n';
  const ts_append_outcome outcome = go_history.o_file.append(std::move(line));
  r_dravlog_tell_append(LOG_LABEL, go_history.o_file, outcome);
}

// The block's own vector, with room to grow; a block still in the loaded pages moves there
// first and gives those pages back.
std::vector<ts_listip_entry>& r_dravlistip_own_block(ts_listip_block& block) {
  if (block.ats_owned.empty()) {
    block.ats_owned.reserve(2 * BLOCK_ENTRIES);
    block.ats_owned.assign(block.o_entries.begin(), block.o_entries.end());
    if (go_history.po_loaded && !block.o_entries.empty()) {
      go_history.po_loaded->release(block.o_entries.data(), block.o_entries.size());
    }
  }
  return block.ats_owned;
}

// Puts a new entry at `place` (block, position) and splits a block that grew too large.
std::size_t r_dravlistip_insert(std::pair<std::size_t, std::size_t> place,
                                const ts_listip_entry& entry) {
  auto& blocks = go_history.ats_blocks;
  if (blocks.empty()) {
    blocks.emplace_back();
  }
  if (place.first == blocks.size()) {
    place = {blocks.size() - 1, blocks.back().o_entries.size()};  // after the last entry
  }
  std::vector<ts_listip_entry>& entries = r_dravlistip_own_block(blocks[place.first]);
  entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(place.second), entry);
  ts_listip_block upper;
  if (entries.size() >= 2 * BLOCK_ENTRIES) {
    upper.ats_owned.reserve(2 * BLOCK_ENTRIES);
    upper.ats_owned.assign(entries.begin() + BLOCK_ENTRIES, entries.end());
    upper.o_entries = upper.ats_owned;
    entries.resize(BLOCK_ENTRIES);
  }
  blocks[place.first].o_entries = entries;
  if (!upper.ats_owned.empty()) {
    // A vector keeps its elements where they are when it moves, so the view stays right.
    blocks.insert(blocks.begin() + static_cast<std::ptrdiff_t>(place.first) + 1, std::move(upper));
  }
  r_dravlistip_index_blocks(place.first);
  return go_history.ai_block_first[place.first] + place.second;
}

// Records a sighting with its host names: a new triple is inserted in order, the registered
// function is told its index, and it is appended to the file.
void r_dravlistip_record(std::uint64_t ip, std::string_view name_text,
                         std::string_view hosts_text) {
  const auto address = static_cast<std::uint32_t>(ip);
  const auto before = [&](const ts_listip_entry& entry) {
    if (entry.i_ip != address) {
      return entry.i_ip < address;
    }
    const char* stored = go_history.o_texts.text(entry.i_text);
    const int by_name = std::string_view(stored).compare(name_text);
    return by_name != 0 ? by_name < 0
                        : std::string_view(stored + std::strlen(stored) + 1) < hosts_text;
  };
  const auto place = r_dravlistip_lower_bound(before);
  const std::size_t at = r_dravlistip_index_of(place);
  if (at < go_history.i_count) {
    const ts_listip_data found = r_dravlistip_get_entry(at);
    if (found.ip == address && found.name == name_text && found.hostnames == hosts_text) {
      return;
    }
  }
  ts_listip_entry entry{};
  entry.i_ip = address;
  entry.i_date = r_dravlistip_date_today(address, name_text.data());
  entry.i_access_level = r_dravaccess_get_access_level(address, nullptr);
  r_dravlistip_store_texts(entry, {}, name_text, hosts_text);
  const std::size_t index = r_dravlistip_insert(place, entry);
  if (gpf_inserted != nullptr) {
    gpf_inserted(static_cast<std::int32_t>(index));
  }
  r_dravlistip_append_line(r_dravlistip_get_entry(index));
}

ts_listip_lookup* r_dravlistip_find_lookup(std::uint64_t ip) {
  const auto found = std::ranges::find(go_history.ats_lookups, static_cast<std::uint32_t>(ip),
                                       &ts_listip_lookup::i_ip);
  return found == go_history.ats_lookups.end() ? nullptr : &*found;
}

void r_dravlistip_record_names(const ts_listip_lookup& lookup, std::string_view hosts) {
  for (const std::string& name : lookup.apc_names) {
    r_dravlistip_record(lookup.i_ip, name, hosts);
  }
}

// Records the sightings that waited for the look-up and tells the registered function. An
// answer that came after its sightings were recorded without host names is dropped.
void r_dravlistip_end_lookup(const ts_ip_lookup_result& result) {
  const auto found = std::ranges::find(go_history.ats_lookups, result.i_ip, &ts_listip_lookup::i_ip);
  if (found == go_history.ats_lookups.end()) {
    return;
  }
  const ts_listip_lookup lookup = std::move(*found);
  go_history.ats_lookups.erase(found);
  r_dravlistip_record_names(lookup, result.pc_hostnames.value_or(""));
  if (gpf_looked_up != nullptr) {
    gpf_looked_up(result.i_ip, result.pc_hostnames ? result.pc_hostnames->c_str() : nullptr);
  }
}

}  // namespace

const char* r_dravlistip_text(std::uint32_t text) {
  return go_history.o_texts.text(text);
}

std::span<const std::span<const ts_listip_entry>> r_dravlistip_blocks() {
  return go_history.ats_block_views;
}

void r_dravlistip_init(const ts_config& config, te_listip_load te_load) {
  gpts_config = &config;
  gte_listip_load = te_load;
  // The history asks the access list for levels; the access list only calls back here.
  r_dravaccess_set_changed_function(r_dravlistip_update_ip_access);
  go_history = ts_listip_state{};
  const ts_file_ptr file(std::fopen(config.log_file_ip, "rb"));
  if (!file) {
    r_dravlog_error("./src/drav_listip - File not found: %s\n%s: %s\n", config.log_file_ip,
                    config.log_file_ip, std::strerror(errno));
  }
  // A line takes at least NAME_COLUMN bytes and its line feed, so the file's size bounds the
  // number of entries; the pages of entries that the file does not fill are never touched.
  struct stat status {};
  std::size_t bound = 1024;
  if (fstat(fileno(file.get()), &status) == 0 && status.st_size > 0) {
    bound += static_cast<std::size_t>(status.st_size) / (NAME_COLUMN + 1);
  }
  auto entries = std::make_unique<ts_load_entries>(bound);
  r_dravlistip_read_file(config.log_file_ip, file.get(), *entries);
  // Appends go to the file read here, and to no other file put in its place later.
  go_history.o_file = ts_append_queue(config.log_file_ip, WAITING_LINES_MAX,
                                      r_dravtools_file_identity(fileno(file.get())));
  r_dravip_lookup_init();
  r_dravlistip_sort(entries->begin(), entries->end());
  r_dravlistip_fill_levels(entries->begin(), entries->end());
  r_dravlistip_make_blocks(std::move(entries));
}

void r_dravlistip_finish() {
  r_dravip_lookup_finish();
  // Sightings whose look-up has not ended are recorded without host names; no screen is
  // told of them any more.
  const ts_listip_inserted_function inserted = std::exchange(gpf_inserted, nullptr);
  for (const ts_listip_lookup& lookup : std::exchange(go_history.ats_lookups, {})) {
    r_dravlistip_record_names(lookup, "");
  }
  gpf_inserted = inserted;
  ts_append_queue& file = go_history.o_file;
  if (file.waiting() > 0) {
    r_dravlog_tell_append(LOG_LABEL, file, file.retry());
  }
  if (file.waiting() > 0 || file.dropped() > 0) {
    r_dravlog_warn("%sFile %s: %zu entries could not be written and are lost\n", LOG_LABEL,
                   file.path().c_str(), file.waiting() + file.dropped());
  }
  r_dravaccess_set_changed_function(nullptr);
  go_history = ts_listip_state{};
  gpts_config = nullptr;
  gte_listip_load = LOAD_OWNED;
}

void r_dravlistip_add_ip_name(std::uint64_t ip, const char* name, const char* hostnames) {
  const std::string_view name_text = name != nullptr ? name : "";
  if (hostnames == nullptr) {
    if (ts_listip_lookup* lookup = r_dravlistip_find_lookup(ip)) {
      lookup->apc_names.emplace_back(name_text);
      return;
    }
  }
  r_dravlistip_record(ip, name_text, hostnames != nullptr ? hostnames : "");
}

void r_dravlistip_add_ip_name_look_up(std::uint64_t ip, const char* name) {
  const std::string_view name_text = name != nullptr ? name : "";
  if (ts_listip_lookup* lookup = r_dravlistip_find_lookup(ip)) {
    lookup->apc_names.emplace_back(name_text);
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + LOOK_UP_BOUND;
  go_history.ats_lookups.push_back(
      {static_cast<std::uint32_t>(ip), deadline, {std::string(name_text)}});
  r_dravip_lookup_request(static_cast<std::uint32_t>(ip), deadline);
}

void r_dravlistip_run() {
  for (const ts_ip_lookup_result& result : r_dravip_lookup_take()) {
    r_dravlistip_end_lookup(result);
  }
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(go_history.ats_lookups, [now](const ts_listip_lookup& lookup) {
    if (lookup.t_deadline >= now) {
      return false;
    }
    r_dravlistip_record_names(lookup, "");
    return true;
  });
  ts_append_queue& file = go_history.o_file;
  if (file.waiting() > 0) {
    r_dravlog_tell_append(LOG_LABEL, file, file.retry());
  }
}

std::size_t r_dravlistip_lookups_waiting() {
  return go_history.ats_lookups.size();
}

std::size_t r_dravlistip_lines_waiting() {
  return go_history.o_file.waiting();
}

void r_dravlistip_set_looked_up_function(ts_listip_looked_up_function looked_up) {
  gpf_looked_up = looked_up;
}

void r_dravlistip_update_ip_access(std::uint64_t ip) {
  const std::int32_t level = r_dravaccess_get_access_level(ip, nullptr);
  for (std::size_t index = r_dravlistip_ip_lower_bound(ip); index < go_history.i_count; ++index) {
    const auto [block, position] = r_dravlistip_locate_index(index);
    ts_listip_entry& entry = go_history.ats_blocks[block].o_entries[position];
    if (entry.i_ip != ip) {
      break;
    }
    entry.i_access_level = level;
  }
}

void r_dravlistip_ip_locate(std::uint64_t ip, std::int32_t& first, std::int32_t& end) {
  first = static_cast<std::int32_t>(r_dravlistip_ip_lower_bound(ip));
  end = static_cast<std::int32_t>(ip >= std::numeric_limits<std::uint32_t>::max()
                                      ? go_history.i_count
                                      : r_dravlistip_ip_lower_bound(ip + 1));
}

std::size_t r_dravlistip_get_count() {
  return go_history.i_count;
}

ts_listip_data r_dravlistip_get_entry(std::size_t index) {
  const auto [block, position] = r_dravlistip_locate_index(index);
  const ts_listip_entry& entry = go_history.ats_blocks[block].o_entries[position];
  ts_listip_data data;
  data.year = entry.i_date / 10000;
  data.month = entry.i_date % 10000 / 100;
  data.day = entry.i_date % 100;
  data.ip = entry.i_ip;
  data.name = go_history.o_texts.text(entry.i_text);
  data.hostnames = data.name + std::strlen(data.name) + 1;
  data.access_level = entry.i_access_level;
  return data;
}

ts_listip_view r_dravlistip_get_list() {
  return {};
}

void r_dravlistip_set_inserted_function(ts_listip_inserted_function inserted) {
  gpf_inserted = inserted;
}
