// The IP history. Operators keep the history file for years, so a million lines is a
// realistic size: the file is read in one piece, parsed, and sorted once; the texts of all
// entries live in a few large blocks so that an entry costs little more than its text.
#include "drav_listip.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_log.h"
#include "drav_tools.h"

std::int32_t gb_dravlistip_changed = 0;

namespace {

// Layout of a history line: date, blank, 15-column address, blank, name\hostnames.
constexpr std::size_t ADDRESS_COLUMN = 9;
constexpr std::size_t ADDRESS_WIDTH = 15;
constexpr std::size_t NAME_COLUMN = 25;
// Marks the name of an undated line, so that a later dated sighting is a new entry.
constexpr char UNDATED_NAME_PREFIX[] = "\\ ";

// Owns the texts of the entries. Blocks are never moved or freed while entries point into
// them, so the texts stay put when the entry array grows.
class ts_text_arena {
 public:
  void clear() {
    blocks_.clear();
    next_ = nullptr;
    left_ = 0;
  }

  // A NUL-terminated copy of `prefix` followed by `length` bytes of `text`.
  const char* store(const char* prefix, std::size_t prefix_length, const char* text,
                    std::size_t length) {
    const std::size_t size = prefix_length + length + 1;
    if (size > left_) {
      const std::size_t block_size = std::max(BLOCK_SIZE, size);
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(block_size));
      next_ = blocks_.back().get();
      left_ = block_size;
    }
    char* copy = next_;
    std::memcpy(copy, prefix, prefix_length);
    std::memcpy(copy + prefix_length, text, length);
    copy[size - 1] = '\0';
    next_ += size;
    left_ -= size;
    return copy;
  }

  const char* store(const char* text, std::size_t length) {
    return length == 0 ? "" : store("", 0, text, length);
  }

 private:
  static constexpr std::size_t BLOCK_SIZE = 1 << 20;
  std::deque<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  std::size_t left_ = 0;
};

const ts_config* gpts_config = nullptr;
std::vector<ts_listip_data> gats_listip_data;
ts_text_arena go_texts;
ts_listip_inserted_function gpf_inserted = nullptr;

// Address, then name, then host names, byte-wise; strcmp's result convention.
int r_dravlistip_compare(const ts_listip_data& a, const ts_listip_data& b) {
  if (a.ip != b.ip) {
    return a.ip < b.ip ? -1 : 1;
  }
  const int by_name = std::strcmp(a.name, b.name);
  if (by_name != 0) {
    return by_name;
  }
  return std::strcmp(a.hostnames, b.hostnames);
}

bool r_dravlistip_less(const ts_listip_data& a, const ts_listip_data& b) {
  return r_dravlistip_compare(a, b) < 0;
}

std::vector<ts_listip_data>::iterator r_dravlistip_lower_bound(std::uint64_t ip) {
  return std::lower_bound(
      gats_listip_data.begin(), gats_listip_data.end(), ip,
      [](const ts_listip_data& entry, std::uint64_t key) { return entry.ip < key; });
}

// The bytes of the history file, read at once into one buffer of the file's size. (A
// mapping of the file would spare a copy, but a file truncated while it is mapped kills the
// program on access.)
class ts_file_contents {
 public:
  explicit ts_file_contents(const char* path) {
    ts_file_ptr file(std::fopen(path, "rb"));
    if (!file) {
      r_dravlog_error("./src/drav_listip - File not found: %s\n", path);
    }
    struct stat status {};
    std::size_t capacity = 1 << 16;
    if (fstat(fileno(file.get()), &status) == 0 && status.st_size > 0) {
      // One byte more than the size, so that reaching the end needs no second buffer.
      capacity = static_cast<std::size_t>(status.st_size) + 1;
    }
    buffer_ = std::make_unique_for_overwrite<char[]>(capacity);
    for (;;) {
      size_ += std::fread(buffer_.get() + size_, 1, capacity - size_, file.get());
      if (std::ferror(file.get()) != 0) {
        // A history read in part (or a directory put in the file's place) would be taken
        // for the whole one, and every sighting of what was missed written again.
        r_dravlog_error("./src/drav_listip - File %s could not be read (%s)\n", path,
                        std::strerror(errno));
      }
      if (size_ < capacity) {
        break;  // the end of the file
      }
      // The file grew since it was measured, or its size was unknown.
      capacity *= 2;
      auto larger = std::make_unique_for_overwrite<char[]>(capacity);
      std::memcpy(larger.get(), buffer_.get(), size_);
      buffer_ = std::move(larger);
    }
  }

  std::string_view view() const { return {buffer_.get(), size_}; }

 private:
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;
};

// The date number at the start of a line, by the rules of strtol. History lines start with
// eight digits, which are read directly; anything else goes through strtol.
long r_dravlistip_read_date(const char* line, std::size_t length) {
  long value = 0;
  std::size_t digits = 0;
  for (; digits < length && digits < 9 && line[digits] >= '0' && line[digits] <= '9'; ++digits) {
    value = value * 10 + (line[digits] - '0');
  }
  if (digits >= 1 && digits <= 8 && digits < length) {
    return value;
  }
  std::string copy(line, length);
  return std::strtol(copy.c_str(), nullptr, 10);
}

// One line without its end; it is not NUL-terminated.
void r_dravlistip_parse_line(const char* line, std::size_t length) {
  if (length < NAME_COLUMN) {
    r_dravlog_error("./src/drav_listip - Line too short: %s\n", std::string(line, length).c_str());
  }
  ts_listip_data entry;
  const long date = r_dravlistip_read_date(line, length);
  entry.year = static_cast<std::int32_t>(date / 10000);
  entry.month = static_cast<std::int32_t>(date % 10000 / 100);
  entry.day = static_cast<std::int32_t>(date % 100);

  char address[ADDRESS_WIDTH + 1];
  std::memcpy(address, line + ADDRESS_COLUMN, ADDRESS_WIDTH);
  address[ADDRESS_WIDTH] = '\0';
  entry.ip = r_dravip_string_to_ip(address);

  const char* name = line + NAME_COLUMN;
  const char* const line_end = line + length;
  const char* name_end = line_end;
  const char* hostnames = line_end;
  if (const void* backslash = std::memchr(name, '\\', line_end - name); backslash != nullptr) {
    name_end = static_cast<const char*>(backslash);
    hostnames = name_end + 1;
  }
  const auto name_length = static_cast<std::size_t>(name_end - name);
  if (entry.year == 0 && entry.month == 0 && entry.day == 0) {
    entry.name =
        go_texts.store(UNDATED_NAME_PREFIX, sizeof UNDATED_NAME_PREFIX - 1, name, name_length);
  } else {
    entry.name = go_texts.store(name, name_length);
  }
  entry.hostnames = go_texts.store(hostnames, static_cast<std::size_t>(line_end - hostnames));
  gats_listip_data.push_back(entry);
}

// Splits the contents into lines, each whole however long; a line feed ends a line, and a
// carriage return before it is removed (as r_dravtools_remove_eol does). A line that an
// append cut short or damaged bytes left behind stops the start, so that the operator sees it
// rather than an entry with a cut name or address.
void r_dravlistip_parse_all(const char* path, std::string_view contents) {
  std::size_t number = 0;
  while (!contents.empty()) {
    const std::size_t feed = contents.find('\n');
    const std::string_view line =
        contents.substr(0, feed == std::string_view::npos ? feed : feed + 1);
    contents.remove_prefix(line.size());
    ++number;
    std::string_view text = line.substr(0, line.size() - (line.ends_with('\n') ? 1 : 0));
    if (const char* fault = r_dravtools_line_fault(line); fault != nullptr) {
      r_dravlog_error("./src/drav_listip - Invalid line in %s (line %zu %s): %s\n", path, number,
                      fault, std::string(text).c_str());
    }
    if (text.ends_with('\r')) {
      text.remove_suffix(1);
    }
    if (!text.empty()) {
      r_dravlistip_parse_line(text.data(), text.size());
    }
  }
}

// Sorting the loaded entries themselves is slow: they are large, and entries of one address
// are told apart by names that live far away in the text blocks. So a small key is sorted
// instead, the address and the first four bytes of the name, which decides nearly every
// comparison; only ties look at the texts. Then the entries are moved into that order.
struct ts_sort_key {
  std::uint64_t key;
  std::uint32_t index;
};

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

void r_dravlistip_sort_loaded() {
  std::vector<ts_listip_data>& data = gats_listip_data;
  std::vector<ts_sort_key> keys(data.size());
  for (std::size_t i = 0; i < data.size(); ++i) {
    // Loaded addresses have 32 bits, so the address and the name prefix fit one number.
    keys[i] = {data[i].ip << 32 | r_dravlistip_text_prefix(data[i].name),
               static_cast<std::uint32_t>(i)};
  }
  std::sort(keys.begin(), keys.end(), [&](const ts_sort_key& a, const ts_sort_key& b) {
    if (a.key != b.key) {
      return a.key < b.key;
    }
    return r_dravlistip_less(data[a.index], data[b.index]);
  });
  // Gathered into a new array: the reads are scattered, so the next ones are fetched ahead.
  constexpr std::size_t AHEAD = 16;
  std::vector<ts_listip_data> sorted;
  sorted.reserve(data.capacity());
  for (std::size_t j = 0; j < keys.size(); ++j) {
    if (j + AHEAD < keys.size()) {
      __builtin_prefetch(&data[keys[j + AHEAD].index]);
    }
    sorted.push_back(data[keys[j].index]);
  }
  data.swap(sorted);
}

// The access level of each entry; entries of one address are neighbours after the sort,
// so each address is looked up once.
void r_dravlistip_fill_levels() {
  for (std::size_t i = 0; i < gats_listip_data.size();) {
    const std::uint64_t ip = gats_listip_data[i].ip;
    const std::int32_t level = r_dravaccess_get_access_level(ip, nullptr);
    for (; i < gats_listip_data.size() && gats_listip_data[i].ip == ip; ++i) {
      gats_listip_data[i].access_level = level;
    }
  }
}

// Dates a new entry with today's local date. A clock without a calendar date (far outside
// the years 0..9999) leaves the entry undated, as the file format has it, rather than
// writing a date that is none; the next start then reads it as an undated line.
void r_dravlistip_date_today(ts_listip_data& entry) {
  std::tm local{};
  if (!r_dravtools_local_time(std::time(nullptr), local)) {
    r_dravlog_notice("IP     No calendar date for today: %s %s is recorded undated\n",
                     r_dravip_ip_to_text(entry.ip).c_str(), entry.name);
    return;
  }
  entry.year = local.tm_year + 1900;
  entry.month = local.tm_mon + 1;
  entry.day = local.tm_mday;
}

void r_dravlistip_append_line(const ts_listip_data& entry) {
  const char* path = gpts_config != nullptr ? gpts_config->log_file_ip : "";
  char head[64];
  std::snprintf(head, sizeof head, "%04d%02d%02d %-15s ", entry.year, entry.month, entry.day,
                r_dravip_ip_to_text(entry.ip).c_str());
  std::string line = head;
  line += entry.name;
  line += '\\';
  line += entry.hostnames;
  line += '\n';
  const ts_append_outcome outcome = r_dravtools_append_file(path, line);
  switch (outcome.te_result) {
    case te_append_result::ok:
      return;
    case te_append_result::open_failed:
      r_dravlog_error("./src/drav_listip - File %s could not be opened for appending\n", path);
    case te_append_result::write_failed:
    case te_append_result::close_failed:
      if (outcome.i_cut_error != 0) {
        // The operator must remove the partial line by hand; the next start refuses it.
        r_dravlog_error(
            "./src/drav_listip - File %s could not be closed (%s), nor cut back to its last "
            "whole line (%s)\n",
            path, std::strerror(outcome.i_error), std::strerror(outcome.i_cut_error));
      }
      // The line did not reach the file whole; what was written of it has been cut back.
      r_dravlog_error("./src/drav_listip - File %s could not be closed\n", path);
  }
}

}  // namespace

void r_dravlistip_init(const ts_config& config) {
  gpts_config = &config;
  // The history asks the access list for levels; the access list only calls back here.
  r_dravaccess_set_changed_function(r_dravlistip_update_ip_access);
  gats_listip_data.clear();
  gats_listip_data.shrink_to_fit();
  go_texts.clear();
  const ts_file_contents contents(config.log_file_ip);
  // Room for every line and for the first sightings of the run without a reallocation.
  const std::string_view text = contents.view();
  gats_listip_data.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) +
                           1024);
  r_dravlistip_parse_all(config.log_file_ip, text);
  r_dravlistip_sort_loaded();
  r_dravlistip_fill_levels();
  gb_dravlistip_changed = 1;
}

void r_dravlistip_add_ip_name(std::uint64_t ip, const char* name, const char* hostnames) {
  ts_listip_data entry;
  entry.ip = ip;
  entry.name = name != nullptr ? name : "";
  entry.hostnames = hostnames != nullptr ? hostnames : "";
  const auto place =
      std::lower_bound(gats_listip_data.begin(), gats_listip_data.end(), entry, r_dravlistip_less);
  if (place != gats_listip_data.end() && r_dravlistip_compare(*place, entry) == 0) {
    gb_dravlistip_changed = 1;
    return;
  }
  const auto index = place - gats_listip_data.begin();

  r_dravlistip_date_today(entry);
  entry.name = go_texts.store(entry.name, std::strlen(entry.name));
  entry.hostnames = go_texts.store(entry.hostnames, std::strlen(entry.hostnames));
  entry.access_level = r_dravaccess_get_access_level(ip, nullptr);
  gats_listip_data.insert(place, entry);

  if (gpf_inserted != nullptr) {
    gpf_inserted(static_cast<std::int32_t>(index));
  }
  r_dravlistip_append_line(entry);
  gb_dravlistip_changed = 1;
}

void r_dravlistip_update_ip_access(std::uint64_t ip) {
  for (auto entry = r_dravlistip_lower_bound(ip);
       entry != gats_listip_data.end() && entry->ip == ip; ++entry) {
    entry->access_level = r_dravaccess_get_access_level(ip, nullptr);
  }
  gb_dravlistip_changed = 1;
}

void r_dravlistip_ip_locate(std::uint64_t ip, std::int32_t& first, std::int32_t& end) {
  first = static_cast<std::int32_t>(r_dravlistip_lower_bound(ip) - gats_listip_data.begin());
  const auto past = ip == ~0ull ? gats_listip_data.end() : r_dravlistip_lower_bound(ip + 1);
  end = static_cast<std::int32_t>(past - gats_listip_data.begin());
}

std::span<const ts_listip_data> r_dravlistip_get_list() {
  return gats_listip_data;
}

void r_dravlistip_set_inserted_function(ts_listip_inserted_function inserted) {
  gpf_inserted = inserted;
}
