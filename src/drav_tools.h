// Layer 1 (text and address helpers): calls no other module.
// Game text conventions, the key-table tokeniser, file appends and time stamps.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

/// Size of every fixed text field: 512 bytes of text and a terminating NUL.
inline constexpr std::size_t TEXT_FIELD_SIZE = 513;
/// Longest text a text field holds.
inline constexpr std::size_t TEXT_FIELD_MAX = 512;

/// Closes a standard I/O stream that the program opened itself.
struct ts_file_closer {
  // Streams closed here were only read: a failure to close one loses nothing. Writers close
  // their streams themselves and check the result.
  void operator()(std::FILE* file) const { (void)std::fclose(file); }
};
/// An owned standard I/O stream, closed when the handle goes.
using ts_file_ptr = std::unique_ptr<std::FILE, ts_file_closer>;

/// An owned file descriptor, closed when the handle goes.
class ts_file_descriptor {
 public:
  ts_file_descriptor() = default;
  explicit ts_file_descriptor(int descriptor) : i_descriptor(descriptor) {}
  ~ts_file_descriptor() { reset(); }
  ts_file_descriptor(ts_file_descriptor&& other) noexcept
      : i_descriptor(std::exchange(other.i_descriptor, -1)) {}
  ts_file_descriptor& operator=(ts_file_descriptor&& other) noexcept {
    if (this != &other) {
      reset(std::exchange(other.i_descriptor, -1));
    }
    return *this;
  }
  ts_file_descriptor(const ts_file_descriptor&) = delete;
  ts_file_descriptor& operator=(const ts_file_descriptor&) = delete;

  int get() const { return i_descriptor; }
  explicit operator bool() const { return i_descriptor >= 0; }
  /// Closes the descriptor held (if any) and takes `descriptor`.
  void reset(int descriptor = -1);
  /// Closes the descriptor now; false when the system reports a failure.
  bool close();

 private:
  int i_descriptor = -1;
};

/// Opens `path` for appending, created when missing and `create`; readable too when
/// permitted, so that appends can look at the file's last byte. An empty handle (errno set)
/// on failure.
ts_file_descriptor r_dravtools_open_append(const char* path, bool create = true);
/// Which step of an append failed.
enum te_append_result : int {
  APPEND_OK = 0,
  APPEND_OPEN_FAILED = 1,
  APPEND_WRITE_FAILED = 2,
  APPEND_CLOSE_FAILED = 3,
  APPEND_OTHER_FILE = 4,  // the path names another file than the one the writer knows
};
/// Outcome of an append: the step that failed and its errno. After a failed write,
/// `i_cut_error` is the errno of the cut-back that failed too (the file then ends in a
/// partial line), or 0 when nothing of the entry stayed behind.
struct ts_append_outcome {
  te_append_result te_result = APPEND_OK;
  int i_error = 0;
  int i_cut_error = 0;
};
/// Appends `entry` (whole lines) in one write, after a line feed when the file does not end
/// with one, so that nothing is glued onto a hand-edited last line. A failed or short write
/// to a regular file is cut back to its previous size, so no partial line stays behind
/// unless the cut-back fails as well. Gives APPEND_OK or APPEND_WRITE_FAILED.
ts_append_outcome r_dravtools_append_descriptor(int descriptor, std::string_view entry);
/// What a writer of a file of entries reports when an append to `path` failed, with the system's reason: "File <path> could not
/// be opened for appending (<error>)", "... could not be written (<error>)", "... could not be
/// closed (<error>)", the write's text followed by ", nor cut back to its last whole line
/// (<error>)" when a partial line stayed behind, or "File <path> names another file than the
/// one read at the start". Empty for APPEND_OK.
std::string r_dravtools_append_failure(const char* path, const ts_append_outcome& outcome);

/// Which file a path named when it was looked at: device and inode.
struct ts_file_identity {
  std::uint64_t i_device = 0;
  std::uint64_t i_inode = 0;
  bool operator==(const ts_file_identity&) const = default;
};
/// The identity of the open file `descriptor`; nothing when the system cannot tell it.
std::optional<ts_file_identity> r_dravtools_file_identity(int descriptor);

/// The entries of one file that the program appends to, written in order. An entry that
/// cannot be written waits in memory with those after it, up to `i_bound` entries (further
/// ones are dropped and counted), and goes first at the next append or retry. Once the file
/// is known (read at the start, or written once), the path must keep naming that same file:
/// another file put in its place (a symbolic link, a new file) is not written to.
class ts_append_queue {
 public:
  ts_append_queue() = default;
  ts_append_queue(std::string path, std::size_t bound, std::optional<ts_file_identity> identity);
  /// Adds `entry` after the waiting ones and writes what it can; the outcome of the first
  /// append that failed, APPEND_OK when nothing waits now.
  ts_append_outcome append(std::string entry);
  /// Writes the waiting entries again, in order, until one fails.
  ts_append_outcome retry();
  /// Entries that wait to be written.
  std::size_t waiting() const { return ao_waiting.size(); }
  /// Most entries that wait.
  std::size_t bound() const { return i_bound; }
  /// Entries dropped, and entries written after they waited, since the last end_failure.
  std::size_t dropped() const { return i_dropped; }
  std::size_t written_late() const { return i_written_late; }
  /// The path written to.
  const std::string& path() const { return pc_path; }

  /// Starts the counts and the told flags again, once the end of a failure has been told.
  void end_failure();

  /// What the operator was told of the failure: that writing fails, and that entries are
  /// dropped. Set by whoever tells it.
  bool b_told_failure = false;
  bool b_told_dropped = false;
  std::size_t i_told_waiting = 0;  // the last count of waiting entries told

 private:
  ts_append_outcome write_one(const std::string& entry);

  std::string pc_path;
  std::size_t i_bound = 0;
  std::optional<ts_file_identity> o_identity;
  std::deque<std::string> ao_waiting;
  std::size_t i_dropped = 0;
  std::size_t i_written_late = 0;
  std::size_t i_late_left = 0;  // entries at the front that waited through a failure
};

/// Why a line of a file that the program appends to must not be taken as an entry even when
/// its text looks like one; `line` is the line with its line feed, if it has one. Gives "has
/// no line feed" for a last line without one (what stays of an append cut short) and "holds
/// a NUL byte" for a line with one (damaged bytes: text files hold none); null for a sound line.
const char* r_dravtools_line_fault(std::string_view line);

/// UTF-8 text of each game character 0x7F..0xFF; the text of byte b is entry b - 0x7F.
extern const std::array<const char*, 129> gpac_drav_chars_utf8;

/// True for a colour code: every control byte except the line feed, which text keeps.
constexpr bool r_dravtools_is_color_code(unsigned char byte) {
  return byte >= 0x01 && byte <= 0x1F && byte != 0x0A;
}
/// A game text as the screen shows it: without colour codes, game characters as UTF-8.
std::string r_dravtools_shown_text(std::string_view text);
/// Copies `source` into `dest` without colour codes (0x01..0x1F except 0x0A); dest may be source.
void r_dravtools_remove_colors(char* dest, const char* source);
/// Same as r_dravtools_remove_colors; used in place by the log writer.
void r_dravtools_remove_colors_char(char* dest, const char* source);
/// Copies `source` into `dest` without its 0x0D bytes; dest may be source.
void r_dravtools_remove_namehack_char(char* dest, const char* source);
/// Makes `text` safe inside a double-quoted console command, in place: drops CR,
/// turns '"' into 0x97, '#' and '$' into a blank, '\'' into 0x95.
void r_dravtools_remove_invalid_console_chars(char* text);
/// Removes one trailing LF (and a CR before it) in place; returns the new length.
std::size_t r_dravtools_remove_eol(char* text);
/// Bounded copy into a 513-byte text field: strncpy semantics, byte 512 always NUL.
/// Returns dest.
char* r_dravtools_varcpy(char* dest, const char* source);

/// Kind of value of a key-table row. Any value but text and integer behaves as a marker.
enum te_parse_type : std::uint32_t {
  PARSE_TEXT = 0,
  PARSE_INT = 1,
  PARSE_MARKER = 2,
};

/// One row of a key table; a table ends with a row whose pc_key is null.
struct ts_parse_entry {
  te_parse_type te_type;
  char* pac_text;          // 513-byte text field, or null
  std::int32_t* pi_int;    // or null
  std::int32_t* pb_found;  // or null
  const char* pc_key;      // exact prefix a line must begin with; null ends the table
};

/// Resets every destination of the table (texts to all NUL, numbers to 0) and every found flag.
void r_dravtools_parse_init(const ts_parse_entry* table);
/// Gives `line` to the first row whose key is a prefix of it; stores the value after the key
/// and sets the row's found flag. Returns 1 when a row matched, 0 when none did.
/// Integers follow strtol base 10 and are saturated to the signed 32-bit range.
int r_dravtools_parse_data(const ts_parse_entry* table, const char* line);

/// The local calendar time of `when` in `local`; false when the system has none for it or
/// its year lies outside 0..9999, which the four-digit years of stamps and files cannot hold.
bool r_dravtools_local_time(std::time_t when, std::tm& local);
/// Local time stamp "YYYY-MM-DD hh:mm:ss" of `when` (0 means now), in a static buffer
/// that the next call overwrites; "0000-00-00 00:00:00" when the time has no calendar date.
const char* r_dravtools_gettime(std::time_t when);
