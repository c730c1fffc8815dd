// A UDP proxy on 127.0.0.1 that holds every datagram back for a while in each direction, so
// that a server on this machine looks as far away as one across a slow route. Each client
// port gets a socket of its own toward the server, so that the replies find their way back
// to the socket that asked. Runs until killed.
//
// Usage: udp-delay-proxy --server-port PORT [--port PORT] [--delay-ms MS]
// Prints "udp-delay-proxy listening on 127.0.0.1:PORT" once it listens.
#include <poll.h>

#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "udp_hold.h"

namespace {

using bench_udp::Clock;
using bench_udp::UdpSocket;

constexpr const char* PROGRAM = "udp-delay-proxy";

struct Proxy {
  UdpSocket front;
  sockaddr_in server;
  std::chrono::milliseconds delay;
  // The socket toward the server of each client port, and the client it answers.
  std::map<std::uint16_t, std::unique_ptr<UdpSocket>> backs;
  std::map<int, sockaddr_in> client_of_back;
  bench_udp::HoldQueue queue;
};

// Datagrams from clients go to the server from the client's own back socket.
void take_from_clients(Proxy& proxy) {
  std::string bytes;
  sockaddr_in from{};
  while (proxy.front.receive(bytes, from)) {
    std::unique_ptr<UdpSocket>& back = proxy.backs[ntohs(from.sin_port)];
    if (!back) {
      back = std::make_unique<UdpSocket>(PROGRAM, 0);
      proxy.client_of_back[back->fd()] = from;
    }
    proxy.queue.hold(Clock::now() + proxy.delay, back->fd(), proxy.server, std::move(bytes));
  }
}

// Datagrams from the server go back to the client of the socket they came to.
void take_from_server(Proxy& proxy, const UdpSocket& back) {
  std::string bytes;
  sockaddr_in from{};
  while (back.receive(bytes, from)) {
    proxy.queue.hold(Clock::now() + proxy.delay, proxy.front.fd(), proxy.client_of_back[back.fd()],
                     std::move(bytes));
  }
}

[[noreturn]] void run(Proxy& proxy) {
  std::vector<pollfd> watched;
  std::vector<const UdpSocket*> sockets;
  for (;;) {
    watched.assign(1, pollfd{proxy.front.fd(), POLLIN, 0});
    sockets.assign(1, &proxy.front);
    for (const auto& [port, back] : proxy.backs) {
      watched.push_back(pollfd{back->fd(), POLLIN, 0});
      sockets.push_back(back.get());
    }
    if (poll(watched.data(), watched.size(), proxy.queue.send_due()) < 0 && errno != EINTR) {
      bench_udp::fail(PROGRAM, "poll");
    }
    for (std::size_t i = 0; i < watched.size(); ++i) {
      if ((watched[i].revents & POLLIN) == 0) {
        continue;
      }
      if (i == 0) {
        take_from_clients(proxy);
      } else {
        take_from_server(proxy, *sockets[i]);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const long server_port = bench_udp::option(argc, argv, "--server-port", 0);
  const long port = bench_udp::option(argc, argv, "--port", 0);
  const long delay_ms = bench_udp::option(argc, argv, "--delay-ms", 100);
  if (server_port < 1 || server_port > 65535 || port > 65535) {
    (void)std::fprintf(stderr, "Usage: %s --server-port PORT [--port PORT] [--delay-ms MS]\n", PROGRAM);
    return 2;
  }
  Proxy proxy{UdpSocket(PROGRAM, static_cast<std::uint16_t>(port)),
              bench_udp::loopback(static_cast<std::uint16_t>(server_port)),
              std::chrono::milliseconds(delay_ms), {}, {}, {}};
  std::printf("%s listening on 127.0.0.1:%u\n", PROGRAM, static_cast<unsigned>(proxy.front.port()));
  (void)std::fflush(stdout);
  run(proxy);
}
