// A name server on 127.0.0.1 for the key-latency benchmark's private network: it answers
// every reverse query (PTR of a.b.c.d.in-addr.arpa) with "host-d-c-b-a.example.net" after a
// set delay, like the slow resolver of a home connection, and every other query at once
// with "no such name". Prints a line per reverse query it received. Runs until killed.
// It brings the loopback interface up first: in a fresh network namespace it is down, with
// no 127.0.0.1 to listen on.
//
// Usage: slow-dns [--port PORT] [--delay-ms MS]
// Prints "slow-dns listening on 127.0.0.1:PORT" once it listens.
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <optional>
#include <vector>

#include "udp_hold.h"

namespace {

using bench_udp::Clock;

constexpr const char* PROGRAM = "slow-dns";
constexpr std::size_t HEADER_SIZE = 12;
constexpr std::uint16_t TYPE_PTR = 12;
constexpr std::uint8_t RCODE_NAME_ERROR = 3;

struct Question {
  std::vector<std::string> labels;
  std::uint16_t type = 0;
  std::size_t end = 0;  // the offset after the question in the query
};

// The first question of a query; none when the query is cut short or compressed.
std::optional<Question> read_question(const std::string& query) {
  Question question;
  std::size_t at = HEADER_SIZE;
  while (at < query.size()) {
    const auto length = static_cast<std::uint8_t>(query[at]);
    if (length == 0) {
      if (at + 5 > query.size()) {
        return std::nullopt;
      }
      question.type = static_cast<std::uint16_t>(static_cast<std::uint8_t>(query[at + 1]) << 8 |
                                                 static_cast<std::uint8_t>(query[at + 2]));
      question.end = at + 5;
      return question;
    }
    if (length > 63 || at + 1 + length > query.size()) {
      return std::nullopt;
    }
    question.labels.push_back(query.substr(at + 1, length));
    at += 1 + length;
  }
  return std::nullopt;
}

// The host name of a reverse query for an IPv4 address, or none.
std::optional<std::string> host_name_of(const Question& question) {
  const std::vector<std::string>& labels = question.labels;
  if (question.type != TYPE_PTR || labels.size() != 6 || labels[4] != "in-addr" ||
      labels[5] != "arpa") {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < 4; ++i) {
    if (labels[i].empty() || labels[i].find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
  }
  return "host-" + labels[3] + "-" + labels[2] + "-" + labels[1] + "-" + labels[0] + ".example.net";
}

void append_u16(std::string& bytes, unsigned value) {
  bytes.push_back(static_cast<char>(value >> 8 & 0xff));
  bytes.push_back(static_cast<char>(value & 0xff));
}

// The reply: the query's header and question, then the answer (a PTR record that points back
// at the question's name) or "no such name".
std::string reply_to(const std::string& query, const Question& question,
                     const std::optional<std::string>& host) {
  std::string reply = query.substr(0, question.end);
  reply[2] = static_cast<char>(0x84 | (query[2] & 0x79));  // an authoritative answer, RD kept
  reply[3] = static_cast<char>(host ? 0x80 : 0x80 | RCODE_NAME_ERROR);
  reply.replace(4, 8, std::string{0, 1, 0, static_cast<char>(host ? 1 : 0), 0, 0, 0, 0});
  if (host) {
    std::string name;
    std::size_t start = 0;
    for (std::size_t dot = host->find('.'); start <= host->size(); dot = host->find('.', start)) {
      const std::size_t end = dot == std::string::npos ? host->size() : dot;
      name.push_back(static_cast<char>(end - start));
      name.append(*host, start, end - start);
      start = end + 1;
    }
    name.push_back('\0');
    append_u16(reply, 0xc000 | HEADER_SIZE);  // the question's name
    append_u16(reply, TYPE_PTR);
    append_u16(reply, 1);  // class IN
    append_u16(reply, 0);  // no caching: every look-up waits again
    append_u16(reply, 0);
    append_u16(reply, static_cast<unsigned>(name.size()));
    reply += name;
  }
  return reply;
}

// Needs the right to administer the network, as root has in a namespace of its own.
void bring_loopback_up() {
  const int control = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  if (control < 0 || ioctl(control, SIOCGIFFLAGS, &request) != 0) {
    bench_udp::fail(PROGRAM, "reading the loopback interface's flags");
  }
  if ((request.ifr_flags & IFF_UP) == 0) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (ioctl(control, SIOCSIFFLAGS, &request) != 0) {
      bench_udp::fail(PROGRAM, "bringing the loopback interface up");
    }
  }
  close(control);
}

[[noreturn]] void run(const bench_udp::UdpSocket& socket, std::chrono::milliseconds delay) {
  bench_udp::HoldQueue queue;
  pollfd watched{socket.fd(), POLLIN, 0};
  std::string query;
  sockaddr_in from{};
  for (;;) {
    if (poll(&watched, 1, queue.send_due()) < 0 && errno != EINTR) {
      bench_udp::fail(PROGRAM, "poll");
    }
    while (socket.receive(query, from)) {
      const std::optional<Question> question = read_question(query);
      if (query.size() < HEADER_SIZE || (query[2] & 0x80) != 0 || !question) {
        continue;
      }
      const std::optional<std::string> host = host_name_of(*question);
      if (host) {
        std::printf("reverse query for %s\n", host->c_str());
        (void)std::fflush(stdout);
      }
      queue.hold(Clock::now() + (host ? delay : std::chrono::milliseconds(0)), socket.fd(), from,
                 reply_to(query, *question, host));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const long port = bench_udp::option(argc, argv, "--port", 53);
  const long delay_ms = bench_udp::option(argc, argv, "--delay-ms", 2000);
  if (port > 65535) {
    (void)std::fprintf(stderr, "Usage: %s [--port PORT] [--delay-ms MS]\n", PROGRAM);
    return 2;
  }
  bring_loopback_up();
  const bench_udp::UdpSocket socket(PROGRAM, static_cast<std::uint16_t>(port));
  std::printf("%s listening on 127.0.0.1:%u\n", PROGRAM, static_cast<unsigned>(socket.port()));
  (void)std::fflush(stdout);
  run(socket, std::chrono::milliseconds(delay_ms));
}
