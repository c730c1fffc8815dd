// Shared helpers: those of files.h, file faults, a configuration, addresses, ports, fatal errors.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "drav_config.h"
#include "drav_listip.h"
#include "files.h"

namespace drav_test {

/// While it lives, no file here grows past `bytes` and SIGXFSZ is ignored: a write beyond is cut
/// short or fails with EFBIG, as on a full disk.
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

/// While it lives, a file is append-only (the file system refuses to truncate it) or immutable
/// (nobody may write it); held() is false when the file system or the privileges refuse.
class FileAttribute {
 public:
  FileAttribute(std::string path, int flag);
  ~FileAttribute();
  FileAttribute(const FileAttribute&) = delete;
  FileAttribute& operator=(const FileAttribute&) = delete;
  bool held() const { return held_; }

 private:
  std::string path_;
  int flag_;
  bool held_ = false;
};
struct AppendOnly : FileAttribute {
  explicit AppendOnly(std::string path);
};
struct Immutable : FileAttribute {
  explicit Immutable(std::string path);
};

std::uint64_t ip(const char* dotted);

/// A history entry as text: "YYYY-M-D address 'name' 'host names' level".
std::string described(const ts_listip_data& entry);
template <typename Entries>
std::vector<std::string> described_all(const Entries& entries) {
  std::vector<std::string> texts;
  for (const ts_listip_data& entry : entries)
    texts.push_back(described(entry));
  return texts;
}

/// A regular expression for a "YYYY-MM-DD hh:mm:ss" time stamp.
inline constexpr char STAMP_PATTERN[] = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";

/// `text` without each line's leading time stamp and blank; fails the test when one has none.
std::string without_stamp(const std::string& text);

/// A port P of 127.0.0.1 below the ephemeral ports with P .. P + `count` - 1 all free right now;
/// 0 when none was found.
int free_udp_port_range(int count);

/// A regular expression for the fatal path's standard error: two line feeds, stamp, message.
std::string fatal_stderr_pattern(const std::string& message);

/// Expects `body` to end the process through the fatal path with "./src/<module> - <message>"
/// and status 1; with standard input empty the wait for a key returns at once.
void expect_fatal(const std::function<void()>& body, const char* module,
                  const std::string& message);

/// The 24 keys of "drav-logger.cfg" in order with working values; `overrides` replaces a key's
/// value (key given without "="), and "<omit>" leaves its line out.
std::string config_text(const std::map<std::string, std::string>& overrides = {});

/// Settings for the transport to the simulated server on 127.0.0.1 with password "secret".
ts_config make_config(std::uint16_t server_port, int client_port = 0, int timeout_next = 150,
                      int timeout_1 = 1000);

std::string regex_escape(const std::string& text);

}  // namespace drav_test
