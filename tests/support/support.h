// Shared helpers of the test suite: temporary folders, whole-file I/O, file faults (a full
// disk, a file that cannot be truncated), a complete configuration, addresses, free ports and
// the fatal-error expectation.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

namespace drav_test {

/// A fresh folder under the system's temporary folder, removed with its contents at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  /// Path of `name` inside the folder.
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

/// While it lives, no file of this process can grow past `bytes` and SIGXFSZ is ignored, so
/// that a write beyond the limit is cut short or fails with EFBIG, as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(std::uint64_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  std::uint64_t saved_limit_ = 0;
  void (*saved_handler_)(int) = nullptr;
};

/// While it lives, a file has the append-only attribute, with which the file system refuses
/// to truncate it; held() is false when the file system or the privileges refuse it.
class AppendOnly {
 public:
  explicit AppendOnly(std::string path);
  ~AppendOnly();
  AppendOnly(const AppendOnly&) = delete;
  AppendOnly& operator=(const AppendOnly&) = delete;
  bool held() const { return held_; }

 private:
  std::string path_;
  bool held_ = false;
};

/// Writes `contents` to `path`, replacing the file. Fails the test on error.
void write_file(const std::string& path, const std::string& contents);
/// The whole file as bytes; empty when it cannot be read.
std::string read_file(const std::string& path);

/// The address of a dotted text, as the address module parses it ("192.0.2.1").
std::uint64_t ip(const char* dotted);

/// A regular expression for a "YYYY-MM-DD hh:mm:ss" time stamp.
inline constexpr char STAMP_PATTERN[] = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";

/// `line` without its leading time stamp and blank; fails the test when it has no stamp.
std::string without_stamp(const std::string& line);

/// A UDP port P of 127.0.0.1 such that P .. P + `count` - 1 are all free right now; 0 when
/// none was found.
int free_udp_port_range(int count);

/// A regular expression matching exactly what the fatal path writes to standard error for
/// `message`: two line feeds, a "YYYY-MM-DD hh:mm:ss" time stamp, a blank and the message.
std::string fatal_stderr_pattern(const std::string& message);

/// Expects `body` to end the process through the fatal path with "./src/<module> - <message>"
/// and status 1; standard input is empty, so the wait for a key returns at once.
void expect_fatal(const std::function<void()>& body, const char* module,
                  const std::string& message);

/// The 24 keys of "drav-logger.cfg" in file order with working values; `overrides` replaces
/// the value of a key (given without "="), and a key mapped to "<omit>" leaves its line out.
std::string config_text(const std::map<std::string, std::string>& overrides = {});

/// A regular expression matching `text` literally.
std::string regex_escape(const std::string& text);

}  // namespace drav_test
