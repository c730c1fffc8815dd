#include "support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <utility>

#include "drav_ip.h"

namespace drav_test {

FileSizeLimit::FileSizeLimit(std::uint64_t bytes) {
  rlimit limit{};
  EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  saved_limit_ = limit.rlim_cur;
  saved_handler_ = std::signal(SIGXFSZ, SIG_IGN);
  limit.rlim_cur = bytes;
  EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
}

FileSizeLimit::~FileSizeLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = saved_limit_;
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, saved_handler_);
}

namespace {

// Sets or clears an attribute flag of a file; false when that is refused.
bool set_flag(const std::string& path, int flag, bool on) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int flags = 0;  // the kernel reads and writes an int, whatever the request's type says
  bool done = descriptor >= 0 && ioctl(descriptor, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? flags | flag : flags & ~flag;
  done = done && ioctl(descriptor, FS_IOC_SETFLAGS, &flags) == 0;
  if (descriptor >= 0)
    close(descriptor);
  return done;
}

}  // namespace

FileAttribute::FileAttribute(std::string path, int flag) : path_(std::move(path)), flag_(flag) {
  held_ = set_flag(path_, flag_, true);
}

FileAttribute::~FileAttribute() {
  // A file left with the attribute could not be removed with its temporary folder.
  if (held_) {
    EXPECT_TRUE(set_flag(path_, flag_, false)) << path_;
  }
}

AppendOnly::AppendOnly(std::string path) : FileAttribute(std::move(path), FS_APPEND_FL) {}
Immutable::Immutable(std::string path) : FileAttribute(std::move(path), FS_IMMUTABLE_FL) {}

std::string regex_escape(const std::string& text) {
  // In the extended syntax a closing bracket outside brackets is ordinary and escaping it errs.
  static const std::regex special(R"([\\^$.|?*+()[{}])");
  return std::regex_replace(text, special, "\\$&");
}

std::string without_stamp(const std::string& text) {
  static const std::regex stamp(std::string(STAMP_PATTERN) + " ");
  std::string result;
  for (std::size_t begin = 0, end; begin < text.size(); begin = end) {
    end = std::min(text.find('\n', begin), text.size() - 1) + 1;
    const std::string line = text.substr(begin, end - begin);
    EXPECT_TRUE(std::regex_match(line.substr(0, 20), stamp)) << "no time stamp: " << line;
    result += line.substr(std::min<std::size_t>(20, line.size()));
  }
  return result;
}

std::string fatal_stderr_pattern(const std::string& message) {
  return std::string("^\n\n") + STAMP_PATTERN + " " + regex_escape(message) + "$";
}

void expect_fatal(const std::function<void()>& body, const char* module,
                  const std::string& message) {
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        body();
      },
      ::testing::ExitedWithCode(1),
      fatal_stderr_pattern(std::string("./src/") + module + " - " + message + "\n"));
}

std::string described(const ts_listip_data& d) {
  return std::to_string(d.year) + "-" + std::to_string(d.month) + "-" + std::to_string(d.day) +
         " " + r_dravip_ip_to_text(d.ip).c_str() + " '" + d.name + "' '" + d.hostnames + "' " +
         std::to_string(d.access_level);
}

ts_config make_config(std::uint16_t server_port, int client_port, int timeout_next, int timeout_1) {
  return {.net_server_ip = 0x7F000001,
          .net_server_port = server_port,
          .net_server_rcon = "secret",
          .net_client_port = client_port,
          .net_response_timeout_1 = timeout_1,
          .net_response_timeout_next = timeout_next};
}

std::uint64_t ip(const char* dotted) {
  return r_dravip_string_to_ip(dotted);
}

int free_udp_port_range(int count) {
  // Below the system's ephemeral ports, which a simulated server started later may be given:
  // a range among them could take that server's port.
  int ephemeral_low = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> ephemeral_low;
  const int first = 10000 + (getpid() % 40) * 300;
  for (int base = first; base + count <= std::min(ephemeral_low, 65536); base += 300) {
    bool all_free = true;
    for (int offset = 0; offset < count && all_free; ++offset) {
      const int probe = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      local.sin_port = htons(static_cast<std::uint16_t>(base + offset));
      all_free = bind(probe, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
      close(probe);
    }
    if (all_free)
      return base;
  }
  return 0;
}

std::string config_text(const std::map<std::string, std::string>& overrides) {
  std::istringstream defaults(
      "log_file=drav-logger.log\nlog_file_ip=drav-logger-ip.txt\nnet_server_ip=127.0.0.1\n"
      "net_server_port=27910\nnet_server_rcon=secret\nnet_client_port=0\n"
      "net_response_timeout_1=300\nnet_response_timeout_next=0\naccess_level=1\n"
      "access_reconnect_timeout=60\naccess_kicked_reject_timeout=300\naccess_list_file=\n"
      "access_list_file_add=access-add.txt\nsay_init=0\nsay_connect_incoming=1\n"
      "say_connect_block=2\nsay_connect_reject_kicked=1\nsay_connect_cancel=1\n"
      "poll_interval_status=1\npoll_interval_dumpuser=4\npoll_interval_serverinfo=60\n"
      "ping_kick=500\nconsole_color=2\nplayer_color=7\n");
  std::string text, line;
  while (std::getline(defaults, line)) {
    const std::string key = line.substr(0, line.find('='));
    const auto replaced = overrides.find(key);
    if (replaced == overrides.end())
      text += line + "\n";
    else if (replaced->second != "<omit>")
      text += key + "=" + replaced->second + "\n";
  }
  return text;
}

}  // namespace drav_test
