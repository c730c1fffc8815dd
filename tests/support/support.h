// Shared helpers of the test suite: those of files.h, file faults (a full disk, a file that
// cannot be truncated), a complete configuration, addresses, free ports and fatal errors.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "files.h"

namespace drav_test {

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

/// While it lives, a file has the immutable attribute, with which nobody may write it, not
/// even a privileged user; held() is false when the file system or the privileges refuse it.
class Immutable {
 public:
  explicit Immutable(std::string path);
  ~Immutable();
  Immutable(const Immutable&) = delete;
  Immutable& operator=(const Immutable&) = delete;
  bool held() const { return held_; }

 private:
  std::string path_;
  bool held_ = false;
};

/// The address of a dotted text, as the address module parses it ("192.0.2.1").
std::uint64_t ip(const char* dotted);

/// A regular expression for a "YYYY-MM-DD hh:mm:ss" time stamp.
inline constexpr char STAMP_PATTERN[] = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";

/// `text` without the leading time stamp and blank of each line; fails the test when a line
/// has none.
std::string without_stamp(const std::string& text);

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
