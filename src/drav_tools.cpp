// Game text conventions, the key-table tokeniser, file appends and time stamps.
#include "drav_tools.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

// The game's own characters 0x7F..0xFF. Rows follow the high digit of the byte; the
// 0x8_ and 0x9_ rows are the game's order, not Windows-1252, and 0xAB and 0xAD differ
// from ISO 8859-1.
// clang-format off
constexpr std::array<const char*, 129> gpac_drav_chars_utf8 = {
    // 0x7F
    "\u2190",
    // 0x80..0x8F
    " ", " ", " ", " ", "\u2639", " ", "\u263A", "\u02DC",
    "\u20AC", "\u201A", "\u0192", "\u201E", "\u2026", "\u2020", "\u2021", "\u02C6",
    // 0x90..0x9F
    "\u2030", "\u0160", "\u2019", "\u0152", "\u2018", "\u2019", "\u201C", "\u201D",
    "\u2022", "\u2013", "\u2014", "\u02DC", "\u2122", "\u0161", "\u203A", "\u0153",
    // 0xA0..0xAF
    "\u0178", "\u00A1", "\u00A2", "\u00A3", "\u00A4", "\u00A5", "\u00A6", "\u00A7",
    "\u00A8", "\u00A9", "\u00AA", "\u2019", "\u00AC", "-", "\u00AE", "\u00AF",
    // 0xB0..0xBF
    "\u00B0", "\u00B1", "\u00B2", "\u00B3", "\u00B4", "\u00B5", "\u00B6", "\u00B7",
    "\u00B8", "\u00B9", "\u00BA", "\u00BB", "\u00BC", "\u00BD", "\u00BE", "\u00BF",
    // 0xC0..0xCF
    "\u00C0", "\u00C1", "\u00C2", "\u00C3", "\u00C4", "\u00C5", "\u00C6", "\u00C7",
    "\u00C8", "\u00C9", "\u00CA", "\u00CB", "\u00CC", "\u00CD", "\u00CE", "\u00CF",
    // 0xD0..0xDF
    "\u00D0", "\u00D1", "\u00D2", "\u00D3", "\u00D4", "\u00D5", "\u00D6", "\u00D7",
    "\u00D8", "\u00D9", "\u00DA", "\u00DB", "\u00DC", "\u00DD", "\u00DE", "\u00DF",
    // 0xE0..0xEF
    "\u00E0", "\u00E1", "\u00E2", "\u00E3", "\u00E4", "\u00E5", "\u00E6", "\u00E7",
    "\u00E8", "\u00E9", "\u00EA", "\u00EB", "\u00EC", "\u00ED", "\u00EE", "\u00EF",
    // 0xF0..0xFF
    "\u00F0", "\u00F1", "\u00F2", "\u00F3", "\u00F4", "\u00F5", "\u00F6", "\u00F7",
    "\u00F8", "\u00F9", "\u00FA", "\u00FB", "\u00FC", "\u00FD", "\u00FE", "\u00FF",
};
// clang-format on

// The screen writes these bytes straight to a UTF-8 terminal.
static_assert(sizeof("\u00E9") == 3 && sizeof("\u2190") == 4,
              "string literals must be encoded as UTF-8");

namespace {

// Copies `source` to `dest` without the bytes `drop` selects. The write position never
// passes the read position, so cleaning in place is safe.
template <typename Predicate>
void r_dravtools_copy_without(char* dest, const char* source, Predicate drop) {
  for (; *source != '\0'; ++source) {
    if (!drop(static_cast<unsigned char>(*source))) {
      *dest++ = *source;
    }
  }
  *dest = '\0';
}

// Game characters that stand in for the console's quoting characters.
constexpr char GAME_RIGHT_DOUBLE_QUOTE = '\x97';
constexpr char GAME_RIGHT_SINGLE_QUOTE = '\x95';

// Values beyond the 32-bit destination keep their sign and become the nearest extreme.
std::int32_t r_dravtools_saturate_int32(long value) {
  if (value > INT32_MAX) {
    return INT32_MAX;
  }
  if (value < INT32_MIN) {
    return INT32_MIN;
  }
  return static_cast<std::int32_t>(value);
}

void r_dravtools_store_value(const ts_parse_entry& entry, const char* value) {
  switch (entry.te_type) {
    case PARSE_TEXT:
      if (entry.pac_text != nullptr) {
        r_dravtools_varcpy(entry.pac_text, value);
      }
      break;
    case PARSE_INT:
      if (entry.pi_int != nullptr) {
        *entry.pi_int = r_dravtools_saturate_int32(std::strtol(value, nullptr, 10));
      }
      break;
    default:  // a marker only tells that the key was seen
      break;
  }
}

// Shown when the clock value has no calendar date (far outside the years 0..9999).
constexpr char UNKNOWN_TIME[] = "0000-00-00 00:00:00";

char gac_date_time[20];

}  // namespace

std::string r_dravtools_shown_text(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (r_dravtools_is_color_code(byte)) {
      continue;
    }
    if (byte >= 0x7F) {
      shown += gpac_drav_chars_utf8[byte - 0x7F];
    } else {
      shown += c;
    }
  }
  return shown;
}

void r_dravtools_remove_colors(char* dest, const char* source) {
  r_dravtools_copy_without(dest, source, r_dravtools_is_color_code);
}

void r_dravtools_remove_colors_char(char* dest, const char* source) {
  r_dravtools_remove_colors(dest, source);
}

void r_dravtools_remove_namehack_char(char* dest, const char* source) {
  r_dravtools_copy_without(dest, source, [](unsigned char byte) { return byte == 0x0D; });
}

void r_dravtools_remove_invalid_console_chars(char* text) {
  // A CR inside the quotes would end the console command early.
  r_dravtools_remove_namehack_char(text, text);
  for (char* p = text; *p != '\0'; ++p) {
    switch (*p) {
      case '"':
        *p = GAME_RIGHT_DOUBLE_QUOTE;
        break;
      case '#':
      case '$':
        *p = ' ';
        break;
      case '\'':
        *p = GAME_RIGHT_SINGLE_QUOTE;
        break;
      default:
        break;
    }
  }
}

std::size_t r_dravtools_remove_eol(char* text) {
  std::size_t length = std::strlen(text);
  if (length == 0 || text[length - 1] != '\n') {
    return length;
  }
  text[--length] = '\0';
  if (length > 0 && text[length - 1] == '\r') {
    text[--length] = '\0';
  }
  return length;
}

char* r_dravtools_varcpy(char* dest, const char* source) {
  std::strncpy(dest, source, TEXT_FIELD_SIZE);
  dest[TEXT_FIELD_MAX] = '\0';
  return dest;
}

void r_dravtools_parse_init(const ts_parse_entry* table) {
  for (const ts_parse_entry* entry = table; entry->pc_key != nullptr; ++entry) {
    if (entry->pb_found != nullptr) {
      *entry->pb_found = 0;
    }
    switch (entry->te_type) {
      case PARSE_TEXT:
        if (entry->pac_text != nullptr) {
          std::memset(entry->pac_text, 0, TEXT_FIELD_SIZE);
        }
        break;
      case PARSE_INT:
        if (entry->pi_int != nullptr) {
          *entry->pi_int = 0;
        }
        break;
      default:
        break;
    }
  }
}

int r_dravtools_parse_data(const ts_parse_entry* table, const char* line) {
  const std::string_view text(line);
  for (const ts_parse_entry* entry = table; entry->pc_key != nullptr; ++entry) {
    if (!text.starts_with(entry->pc_key)) {
      continue;
    }
    if (entry->pb_found != nullptr) {
      *entry->pb_found = 1;
    }
    r_dravtools_store_value(*entry, line + std::strlen(entry->pc_key));
    return 1;
  }
  return 0;
}

bool r_dravtools_local_time(std::time_t when, std::tm& local) {
  return localtime_r(&when, &local) != nullptr && local.tm_year >= -1900 &&
         local.tm_year <= 9999 - 1900;
}

const char* r_dravtools_gettime(std::time_t when) {
  if (when == 0) {
    when = std::time(nullptr);
  }
  std::tm local{};
  if (!r_dravtools_local_time(when, local)) {
    std::memcpy(gac_date_time, UNKNOWN_TIME, sizeof UNKNOWN_TIME);
    return gac_date_time;
  }
  const int length = std::snprintf(
      gac_date_time, sizeof gac_date_time, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
      local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  if (length != static_cast<int>(sizeof UNKNOWN_TIME - 1)) {
    std::memcpy(gac_date_time, UNKNOWN_TIME, sizeof UNKNOWN_TIME);
  }
  return gac_date_time;
}

void ts_file_descriptor::reset(int descriptor) {
  if (i_descriptor >= 0) {
    ::close(i_descriptor);
  }
  i_descriptor = descriptor;
}

bool ts_file_descriptor::close() {
  if (i_descriptor < 0) {
    return true;
  }
  return ::close(std::exchange(i_descriptor, -1)) == 0;
}

ts_file_descriptor r_dravtools_open_append(const char* path, bool create) {
  const int open_flags = O_APPEND | O_CLOEXEC | (create ? O_CREAT : 0);
  int descriptor = ::open(path, O_RDWR | open_flags, 0666);
  if (descriptor < 0 && errno == EACCES) {
    // A file we may only write to is still appended to, without the look at its end.
    descriptor = ::open(path, O_WRONLY | open_flags, 0666);
  }
  return ts_file_descriptor(descriptor);
}

ts_append_outcome r_dravtools_append_descriptor(int descriptor, std::string_view entry) {
  struct stat status {};
  const bool regular = ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
  std::string data;
  if (regular && status.st_size > 0) {
    char last = '\n';
    if (::pread(descriptor, &last, 1, status.st_size - 1) == 1 && last != '\n') {
      data += '\n';
    }
  }
  data += entry;
  ts_append_outcome outcome;
  std::size_t done = 0;
  // One write normally takes all; only after a short one is the rest tried, which either
  // completes the entry or tells why it cannot be written.
  while (done < data.size()) {
    const ssize_t written = ::write(descriptor, data.data() + done, data.size() - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      outcome = {APPEND_WRITE_FAILED, written < 0 ? errno : ENOSPC, 0};
      break;
    }
    done += static_cast<std::size_t>(written);
  }
  if (outcome.te_result != APPEND_OK && regular) {
    // Whole lines or nothing: a fragment would be glued onto the next entry or stop the
    // next start. When even that fails (an append-only file, an I/O error), the caller must
    // tell that the file now ends in a partial line.
    while (::ftruncate(descriptor, status.st_size) != 0) {
      if (errno != EINTR) {
        outcome.i_cut_error = errno;
        break;
      }
    }
  }
  return outcome;
}

std::string r_dravtools_append_failure(const char* path, const ts_append_outcome& outcome) {
  const std::string file = std::string("File ") + path;
  const std::string reason = std::string(" (") + std::strerror(outcome.i_error) + ")";
  std::string text;
  switch (outcome.te_result) {
    case APPEND_OK:
      return {};
    case APPEND_OPEN_FAILED:
      return file + " could not be opened for appending" + reason;
    case APPEND_OTHER_FILE:
      return file + " names another file than the one read at the start";
    case APPEND_WRITE_FAILED:
      text = file + " could not be written" + reason;
      break;
    case APPEND_CLOSE_FAILED:
      text = file + " could not be closed" + reason;
      break;
  }
  if (outcome.i_cut_error != 0) {
    // The operator must remove the partial line by hand; the next start refuses it.
    text += std::string(", nor cut back to its last whole line (") +
            std::strerror(outcome.i_cut_error) + ")";
  }
  return text;
}

std::optional<ts_file_identity> r_dravtools_file_identity(int descriptor) {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) {
    return std::nullopt;
  }
  return ts_file_identity{static_cast<std::uint64_t>(status.st_dev),
                          static_cast<std::uint64_t>(status.st_ino)};
}

ts_append_queue::ts_append_queue(std::string path, std::size_t bound,
                                 std::optional<ts_file_identity> identity)
    : pc_path(std::move(path)), i_bound(bound), o_identity(identity) {}

ts_append_outcome ts_append_queue::append(std::string entry) {
  if (ao_waiting.size() >= i_bound) {
    ++i_dropped;
  } else {
    ao_waiting.push_back(std::move(entry));
  }
  return retry();
}

ts_append_outcome ts_append_queue::retry() {
  while (!ao_waiting.empty()) {
    const ts_append_outcome outcome = write_one(ao_waiting.front());
    if (outcome.te_result != APPEND_OK) {
      i_late_left = ao_waiting.size();
      return outcome;
    }
    ao_waiting.pop_front();
    if (i_late_left > 0) {
      --i_late_left;
      ++i_written_late;
    }
  }
  return {};
}

void ts_append_queue::end_failure() {
  i_dropped = 0;
  i_written_late = 0;
  b_told_failure = false;
  b_told_dropped = false;
  i_told_waiting = 0;
}

ts_append_outcome ts_append_queue::write_one(const std::string& entry) {
  // A known file is never created again: a path that lost its file names no file it read.
  ts_file_descriptor file = r_dravtools_open_append(pc_path.c_str(), !o_identity);
  if (!file) {
    return {APPEND_OPEN_FAILED, errno, 0};
  }
  const std::optional<ts_file_identity> identity = r_dravtools_file_identity(file.get());
  if (o_identity && identity != o_identity) {
    return {APPEND_OTHER_FILE, 0, 0};
  }
  const ts_append_outcome outcome = r_dravtools_append_descriptor(file.get(), entry);
  if (outcome.te_result != APPEND_OK) {
    return outcome;
  }
  o_identity = identity;
  if (!file.close()) {
    return {APPEND_CLOSE_FAILED, errno, 0};
  }
  return outcome;
}

const char* r_dravtools_line_fault(std::string_view line) {
  if (!line.ends_with('\n')) {
    return "has no line feed";
  }
  if (line.find('\0') != std::string_view::npos) {
    return "holds a NUL byte";
  }
  return nullptr;
}
