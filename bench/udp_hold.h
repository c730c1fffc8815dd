// Datagrams held back for a while and then sent on: the common part of the key-latency
// benchmark's delaying UDP proxy and slow name server. Both stay on 127.0.0.1.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>

namespace bench_udp {

using Clock = std::chrono::steady_clock;

/// The address 127.0.0.1:port.
inline sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

/// Ends the program with the failed operation and the system's reason.
[[noreturn]] inline void fail(const char* program, const char* operation) {
  (void)std::fprintf(stderr, "%s: %s: %s\n", program, operation, std::strerror(errno));
  std::exit(1);
}

/// A UDP socket bound to 127.0.0.1:port (0: a free port), closed with the object.
class UdpSocket {
 public:
  UdpSocket(const char* program, std::uint16_t port) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    if (fd_ < 0) {
      fail(program, "socket");
    }
    sockaddr_in address = loopback(port);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      fail(program, "bind");
    }
    socklen_t length = sizeof address;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      fail(program, "getsockname");
    }
    port_ = ntohs(address.sin_port);
  }
  ~UdpSocket() { close(fd_); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  int fd() const { return fd_; }
  std::uint16_t port() const { return port_; }

  /// Takes one waiting datagram without blocking; false when none waits.
  bool receive(std::string& bytes, sockaddr_in& from) const {
    char buffer[65536];
    socklen_t length = sizeof from;
    const ssize_t size =
        recvfrom(fd_, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
    if (size < 0) {
      return false;
    }
    bytes.assign(buffer, static_cast<std::size_t>(size));
    return true;
  }

 private:
  int fd_;
  std::uint16_t port_ = 0;
};

/// Datagrams waiting for their time, sent in the order of their due times (in the order
/// they were held when due at the same time).
class HoldQueue {
 public:
  /// Sends `bytes` from socket `fd` to `to` at `due`.
  void hold(Clock::time_point due, int fd, const sockaddr_in& to, std::string bytes) {
    waiting_.emplace(due, Held{fd, to, std::move(bytes)});
  }

  /// Sends every datagram that is due; returns the milliseconds until the next one is, for
  /// poll(2) (-1: none waits). A datagram the system refuses is dropped, as a link would.
  int send_due() {
    const Clock::time_point now = Clock::now();
    while (!waiting_.empty() && waiting_.begin()->first <= now) {
      const Held& held = waiting_.begin()->second;
      (void)sendto(held.fd, held.bytes.data(), held.bytes.size(), 0,
                   reinterpret_cast<const sockaddr*>(&held.to), sizeof held.to);
      waiting_.erase(waiting_.begin());
    }
    if (waiting_.empty()) {
      return -1;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(waiting_.begin()->first - now);
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(wait.count(), 0));
  }

 private:
  struct Held {
    int fd;
    sockaddr_in to;
    std::string bytes;
  };
  std::multimap<Clock::time_point, Held> waiting_;
};

/// The value of a numeric option `--name VALUE` in `argv`, or `fallback` when absent.
inline long option(int argc, char** argv, const char* name, long fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) {
      char* end = nullptr;
      const long value = std::strtol(argv[i + 1], &end, 10);
      if (*end != '\0' || value < 0) {
        (void)std::fprintf(stderr, "%s: %s wants a number, not \"%s\"\n", argv[0], name, argv[i + 1]);
        std::exit(2);
      }
      return value;
    }
  }
  return fallback;
}

}  // namespace bench_udp
