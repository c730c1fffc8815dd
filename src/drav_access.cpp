// The access list. Lookups must give what a walk of the list in order would give (bans
// newest first, then the add file, then the main file; the first covering entry wins), but
// lists of a hundred thousand networks are common, so the walk is replaced by an index: one
// hash table keyed by (prefix length, network) holding the earliest list position of that
// network. A lookup probes each prefix length that occurs and keeps the earliest position.
#include "drav_access.h"

#include <sys/types.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drav_config.h"
#include "drav_ip.h"
#include "drav_log.h"
#include "drav_tools.h"

namespace {

// Comments start at this column; shorter lines have none.
constexpr std::size_t COMMENT_COLUMN = 21;
// Shortest valid entry line: a level, a blank and the shortest dotted address.
constexpr std::size_t ENTRY_LINE_MIN = 9;
// A ban block writes the address left-aligned in this many columns.
constexpr std::size_t ADDRESS_WIDTH = 15;

// An entry read from a file; the comment lives in the list's ac_comments.
struct ts_file_entry {
  std::int32_t i_level;
  std::uint32_t i_comment_offset;
};

// Position of an entry in list order. Bans come before every file entry and newer bans
// before older ones, so ban k (0 for the first of the run) gets -(k + 1); file entries get
// 0, 1, 2, ... in the order they were read.
using ts_position = std::int64_t;

// Open-addressing table from (prefix length, network) to the earliest position. Keys never
// reach EMPTY_KEY because the prefix length is at most 32.
class ts_network_index {
 public:
  // Keeps the earlier of the stored and the given position.
  void insert(int prefix, std::uint32_t net, ts_position position) {
    if ((i_used + 1) * 2 > ats_slots.size()) {
      grow();
    }
    const std::uint64_t key = make_key(prefix, net);
    ts_index_slot& slot = find_slot(key);
    if (slot.i_key == EMPTY_KEY) {
      slot = ts_index_slot{key, position};
      ++i_used;
    } else if (position < slot.i_position) {
      slot.i_position = position;
    }
  }

  // Position stored for the network, or nothing.
  const ts_position* find(int prefix, std::uint32_t net) const {
    const std::uint64_t key = make_key(prefix, net);
    const std::size_t last = ats_slots.size() - 1;
    for (std::size_t i = hash(key) & last;; i = (i + 1) & last) {
      const ts_index_slot& slot = ats_slots[i];
      if (slot.i_key == key) {
        return &slot.i_position;
      }
      if (slot.i_key == EMPTY_KEY) {
        return nullptr;
      }
    }
  }

 private:
  static constexpr std::uint64_t EMPTY_KEY = ~0ull;
  static constexpr std::size_t INITIAL_CAPACITY = 64;

  struct ts_index_slot {
    std::uint64_t i_key = EMPTY_KEY;
    ts_position i_position = 0;
  };

  static std::uint64_t make_key(int prefix, std::uint32_t net) {
    return (static_cast<std::uint64_t>(prefix) << 32) | net;
  }
  static std::size_t hash(std::uint64_t key) {
    key ^= key >> 29;
    key *= 0xBF58476D1CE4E5B9ull;
    key ^= key >> 32;
    return static_cast<std::size_t>(key);
  }

  ts_index_slot& find_slot(std::uint64_t key) {
    const std::size_t last = ats_slots.size() - 1;
    for (std::size_t i = hash(key) & last;; i = (i + 1) & last) {
      if (ats_slots[i].i_key == key || ats_slots[i].i_key == EMPTY_KEY) {
        return ats_slots[i];
      }
    }
  }

  void grow() {
    std::vector<ts_index_slot> old(ats_slots.size() * 2);
    old.swap(ats_slots);
    for (const ts_index_slot& slot : old) {
      if (slot.i_key != EMPTY_KEY) {
        find_slot(slot.i_key) = slot;
      }
    }
  }

  std::vector<ts_index_slot> ats_slots = std::vector<ts_index_slot>(INITIAL_CAPACITY);
  std::size_t i_used = 0;
};

// Everything the list holds. Init and finish replace it as a whole, which frees what it held.
struct ts_access_state {
  std::vector<ts_file_entry> ats_file_entries;
  std::vector<std::int32_t> ai_ban_levels;  // in the order the bans were made
  // Every file comment, NUL-terminated; offset 0 is the empty comment.
  std::string ac_comments = std::string(1, '\0');
  ts_network_index o_index;
  // Bit n set when some entry has prefix length n.
  std::uint64_t i_prefix_lengths = 0;
  // The additions file, with the ban blocks that wait while it cannot be written.
  ts_append_queue o_add_file;
};

// Ban blocks that wait in memory while the additions file cannot be written.
constexpr std::size_t WAITING_BANS_MAX = 10000;
constexpr const char* LOG_LABEL = "IP     ";

const ts_config* gpts_config = nullptr;
ts_access_state go_access;
// The IP history's refresh of one address's levels. It outlives every init of this list and
// is removed by the history's finish.
ts_access_changed_function gpf_access_changed = nullptr;

void r_dravaccess_index_entry(std::uint64_t net, std::uint64_t mask, ts_position position) {
  const int prefix = std::popcount(static_cast<std::uint32_t>(mask));
  go_access.o_index.insert(prefix, static_cast<std::uint32_t>(net), position);
  go_access.i_prefix_lengths |= 1ull << prefix;
}

// Level of a level character: 0-9, or a-i in either case for 1-9; -1 when invalid.
std::int32_t r_dravaccess_level_of(char level_char) {
  const auto c = static_cast<unsigned char>(level_char);
  if (std::isdigit(c) != 0) {
    return c - '0';
  }
  const int lower = std::tolower(c);
  if (lower >= 'a' && lower <= 'i') {
    return lower - 'a' + 1;
  }
  return -1;
}

std::uint32_t r_dravaccess_store_comment(const char* line, std::size_t length) {
  if (length <= COMMENT_COLUMN) {
    return 0;
  }
  char comment[TEXT_FIELD_SIZE];
  r_dravtools_varcpy(comment, line + COMMENT_COLUMN);
  const auto offset = static_cast<std::uint32_t>(go_access.ac_comments.size());
  go_access.ac_comments.append(comment, std::strlen(comment) + 1);
  return offset;
}

void r_dravaccess_read_line(const char* path, const char* line) {
  const std::size_t length = std::strlen(line);
  if (length < ENTRY_LINE_MIN) {
    r_dravlog_error("./src/drav_access - Invalid line in %s (too short): %s\n", path, line);
  }
  if (line[1] != ' ') {
    r_dravlog_error("./src/drav_access - Invalid line in %s (no space on second pos): %s\n", path,
                    line);
  }
  const std::int32_t level = r_dravaccess_level_of(line[0]);
  if (level < 0) {
    r_dravlog_error("./src/drav_access - Invalid line in %s: %s\n", path, line);
  }
  const ts_ip_net_mask network = r_dravip_string_to_net_mask(line + 2);
  const auto position = static_cast<ts_position>(go_access.ats_file_entries.size());
  go_access.ats_file_entries.push_back({level, r_dravaccess_store_comment(line, length)});
  r_dravaccess_index_entry(network.net, network.mask, position);
}

// The lines of a file one by one, each whole however long, in a buffer that getline grows.
class ts_line_reader {
 public:
  explicit ts_line_reader(std::FILE* file) : po_file(file) {}
  ~ts_line_reader() { std::free(pc_buffer); }
  ts_line_reader(const ts_line_reader&) = delete;
  ts_line_reader& operator=(const ts_line_reader&) = delete;

  // The next line with its line feed (NUL-terminated after it), or nothing at the end of
  // the file or on a read error.
  std::optional<std::string_view> next() {
    const ssize_t length = getline(&pc_buffer, &i_capacity, po_file);
    if (length < 0) {
      return std::nullopt;
    }
    return std::string_view(pc_buffer, static_cast<std::size_t>(length));
  }
  // The buffer of the line that next() gave last.
  char* buffer() { return pc_buffer; }

 private:
  std::FILE* po_file;
  char* pc_buffer = nullptr;
  std::size_t i_capacity = 0;
};

// Takes the entries of one open file. A comment never becomes an entry, so only an entry
// line is refused for a fault that an append cut short or damaged bytes leave behind.
void r_dravaccess_read_lines(const char* path, std::FILE* file) {
  ts_line_reader reader(file);
  std::size_t number = 0;
  while (const std::optional<std::string_view> line = reader.next()) {
    ++number;
    char* text = reader.buffer();
    if (text[0] == ';') {
      continue;
    }
    const char* fault = r_dravtools_line_fault(*line);
    r_dravtools_remove_eol(text);
    if (fault != nullptr) {
      r_dravlog_error("./src/drav_access - Invalid line in %s (line %zu %s): %s\n", path, number,
                      fault, text);
    }
    if (text[0] != '\0') {
      r_dravaccess_read_line(path, text);
    }
  }
  if (std::ferror(file) != 0) {
    r_dravlog_error("./src/drav_access - File %s could not be read (%s)\n", path,
                    std::strerror(errno));
  }
}

// Appends the entries of one file to the list; `may_be_missing` makes an unopenable file
// no error. Gives the identity of the file read, nothing when none was.
std::optional<ts_file_identity> r_dravaccess_read_file(const char* path, bool may_be_missing) {
  ts_file_ptr file(std::fopen(path, "rb"));
  if (!file) {
    if (may_be_missing) {
      return std::nullopt;
    }
    r_dravlog_error("./src/drav_access - File %s could not be opened\n%s: %s\n", path, path,
                    std::strerror(errno));
  }
  r_dravaccess_read_lines(path, file.get());
  const std::optional<ts_file_identity> identity = r_dravtools_file_identity(fileno(file.get()));
  if (std::fclose(file.release()) != 0) {
    r_dravlog_error("./src/drav_access - File %s could not be closed\n", path);
  }
  return identity;
}

// The three lines of a ban block: time stamp and reason, level and address with the
// comment, and an empty line.
std::string r_dravaccess_ban_block(std::uint64_t ip, const char* comment, const char* reason,
                                   std::int32_t level) {
  std::string block = "; ";
  block += r_dravtools_gettime(0);
  if (reason != nullptr && reason[0] != '\0') {
    block += " - ";
    block += reason;
  }
  block += '\n';
  block += static_cast<char>(static_cast<unsigned>('0') + static_cast<unsigned>(level));
  block += ' ';
  // The address left-aligned in 15 columns, which every dotted address fits.
  const std::string address = r_dravip_ip_to_text(ip).c_str();
  block += address;
  block.append(ADDRESS_WIDTH - std::min(address.size(), ADDRESS_WIDTH), ' ');
  if (comment != nullptr && comment[0] != '\0') {
    block += "    ";
    block += comment;
  }
  block += "\n\n";
  return block;
}

void r_dravaccess_write_ban(std::uint64_t ip, const char* comment, const char* reason,
                            std::int32_t level) {
  ts_append_queue& file = go_access.o_add_file;
  const ts_append_outcome outcome =
      file.append(r_dravaccess_ban_block(ip, comment, reason, level));
  r_dravlog_tell_append(LOG_LABEL, file, outcome);
}

}  // namespace

void r_dravaccess_init(const ts_config& config) {
  gpts_config = &config;
  go_access = ts_access_state{};
  if (config.access_list_file_add[0] != '\0') {
    // Bans go to the file read here; a missing one is created by the first ban.
    go_access.o_add_file =
        ts_append_queue(config.access_list_file_add, WAITING_BANS_MAX,
                        r_dravaccess_read_file(config.access_list_file_add, true));
  }
  if (config.access_list_file[0] != '\0') {
    r_dravaccess_read_file(config.access_list_file, false);
  }
}

void r_dravaccess_run() {
  ts_append_queue& file = go_access.o_add_file;
  if (file.waiting() > 0) {
    r_dravlog_tell_append(LOG_LABEL, file, file.retry());
  }
}

void r_dravaccess_finish() {
  r_dravaccess_run();
  const ts_append_queue& file = go_access.o_add_file;
  if (file.waiting() > 0 || file.dropped() > 0) {
    r_dravlog_warn("%sFile %s: %zu bans could not be written and are lost\n", LOG_LABEL,
                   file.path().c_str(), file.waiting() + file.dropped());
  }
  go_access = ts_access_state{};
  gpts_config = nullptr;
}

std::size_t r_dravaccess_get_entry_count() {
  return go_access.ats_file_entries.size() + go_access.ai_ban_levels.size();
}

std::int32_t r_dravaccess_get_access_level(std::uint64_t ip, char* comment) {
  if (comment != nullptr) {
    std::memset(comment, 0, TEXT_FIELD_SIZE);
  }
  bool found = false;
  ts_position best = 0;
  for (std::uint64_t lengths = go_access.i_prefix_lengths; lengths != 0; lengths &= lengths - 1) {
    const int prefix = std::countr_zero(lengths);
    const auto net = static_cast<std::uint32_t>(ip & gct_mask[prefix]);
    const ts_position* position = go_access.o_index.find(prefix, net);
    if (position != nullptr && (!found || *position < best)) {
      best = *position;
      found = true;
    }
  }
  if (!found) {
    return ACCESS_LEVEL_DEFAULT;
  }
  if (best < 0) {
    // Bans keep an empty comment until the next start reads it back from the file.
    return go_access.ai_ban_levels[static_cast<std::size_t>(-best - 1)];
  }
  const ts_file_entry& entry = go_access.ats_file_entries[static_cast<std::size_t>(best)];
  if (comment != nullptr) {
    r_dravtools_varcpy(comment, go_access.ac_comments.c_str() + entry.i_comment_offset);
  }
  return entry.i_level;
}

void r_dravaccess_set_changed_function(ts_access_changed_function changed) {
  gpf_access_changed = changed;
}

void r_dravaccess_add_ip(std::uint64_t ip, const char* comment, const char* reason,
                         std::int32_t level) {
  const ts_ip_net_mask single = r_dravip_get_net_mask(ip, 32);
  go_access.ai_ban_levels.push_back(level);
  r_dravaccess_index_entry(single.net, single.mask,
                           -static_cast<ts_position>(go_access.ai_ban_levels.size()));
  const char* path = gpts_config != nullptr ? gpts_config->access_list_file_add : "";
  if (path[0] != '\0') {
    r_dravaccess_write_ban(ip, comment, reason, level);
  } else {
    // Without an add file the ban still holds for this run; the operator must learn that
    // it will be gone after a restart.
    r_dravlog_log("IP     Ban not saved %s: no access_list_file_add configured\n",
                  r_dravip_ip_to_text(ip).c_str());
  }
  if (gpf_access_changed != nullptr) {
    gpf_access_changed(ip);
  }
}

void r_dravaccess_block_ip(std::uint64_t ip, const char* comment, const char* reason) {
  r_dravaccess_add_ip(ip, comment, reason, 0);
}
