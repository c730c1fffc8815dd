#include "sim_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "sim_link.h"

namespace drav_sim {

namespace {

using std::chrono::steady_clock;

// Every out-of-band datagram, in both directions, starts with four 0xFF bytes.
constexpr std::string_view RCON_PREFIX = "\xFF\xFF\xFF\xFFrcon ";
// Sent by wait_until_handled to the server itself, followed by its number.
constexpr std::string_view HANDLED_MARKER = "\xFF\xFF\xFF\xFFsim-handled ";
// Longest name a player slot holds.
constexpr std::size_t MAX_NAME_LENGTH = 31;
// Info keys are padded to this width in serverinfo and dumpuser.
constexpr std::size_t INFO_KEY_WIDTH = 20;
constexpr std::size_t MAX_INCOMING_DATAGRAM = 65536;
constexpr std::size_t MAX_RECORDED_COMMANDS = 100000;
// Datagrams the rough link holds back for clients that never hear from the server again would
// pile up in a long run; past this many the oldest is lost instead.
constexpr std::size_t MAX_HELD_BACK = 256;

/// Owns a descriptor and closes it. The program has one of these (ts_file_descriptor), but the
/// simulator is the reference the program is tested against: it builds and runs without any
/// of the program's code, so that a fault there cannot hide on both sides of a test.
class FileDescriptor {
 public:
  explicit FileDescriptor(int descriptor = -1) : descriptor_(descriptor) {}
  ~FileDescriptor() {
    if (descriptor_ >= 0) {
      ::close(descriptor_);
    }
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return descriptor_; }
  void reset(int descriptor) {
    if (descriptor_ >= 0) {
      ::close(descriptor_);
    }
    descriptor_ = descriptor;
  }

 private:
  int descriptor_;
};

/// Console output collected the way the server does it: a print whose text does not fit into
/// the rest of the buffer first sends the buffer as one "print" datagram.
class OutputRedirect {
 public:
  [[gnu::format(printf, 2, 3)]] void printf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) {
      // The call above measured the text, so this one writes all of it.
      (void)std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    }
    va_end(arguments);
    print(text);
  }

  void print(std::string_view text) {
    if (!buffer_.empty() && buffer_.size() + text.size() > MAX_DATAGRAM_TEXT) {
      flush();
    }
    // A single text longer than the buffer goes out in buffer-sized pieces.
    while (text.size() > MAX_DATAGRAM_TEXT) {
      buffer_.assign(text.substr(0, MAX_DATAGRAM_TEXT));
      flush();
      text.remove_prefix(MAX_DATAGRAM_TEXT);
    }
    buffer_ += text;
  }

  /// Sends what is left, even nothing: every command is answered by at least one datagram.
  std::vector<std::string> finish() {
    flush();
    return std::move(datagrams_);
  }

 private:
  void flush() {
    std::string datagram(PRINT_HEADER);
    datagram += buffer_;
    datagrams_.push_back(std::move(datagram));
    buffer_.clear();
  }

  std::string buffer_;
  std::vector<std::string> datagrams_;
};

struct Slot {
  Player player;
  std::optional<steady_clock::time_point>
      zombie_until;      // set by a kick; the slot frees itself then
  bool renamed = false;  // the details lost their address with the rename (plain layouts)
};

struct Outgoing {
  std::string datagram;
  sockaddr_in destination{};
  bool from_other_port = false;
  bool held_back = false;  // waits for the next datagram to the same destination
};

bool same_destination(const sockaddr_in& one, const sockaddr_in& other) {
  return one.sin_addr.s_addr == other.sin_addr.s_addr && one.sin_port == other.sin_port;
}

// Datagrams sent again and again: the stream at a port, the endless reply.
struct Repeating {
  std::string datagram;
  sockaddr_in destination{};
  steady_clock::duration every{};
  steady_clock::time_point next{};
};

// Index `index` of `count` items, negative counting from the end; nothing when out of range.
std::optional<std::size_t> resolve_index(std::optional<int> index, std::size_t count) {
  if (!index) {
    return std::nullopt;
  }
  const long long resolved = *index < 0 ? static_cast<long long>(count) + *index : *index;
  if (resolved < 0 || resolved >= static_cast<long long>(count)) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(resolved);
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

int open_udp(std::uint16_t port) {
  const int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (descriptor < 0) {
    throw std::runtime_error("sim server: cannot create a socket");
  }
  const sockaddr_in local = loopback(port);
  if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ::close(descriptor);
    throw std::runtime_error("sim server: cannot bind 127.0.0.1:" + std::to_string(port));
  }
  return descriptor;
}

std::vector<std::pair<std::string, std::string>> default_serverinfo() {
  return {{"mapname", "canyon_ridge"},
          {"pickupinfo", "1"},
          {"gamedate", "Jan  1 2024"},
          {"gamename", "arena"},
          {"maxspectators", "4"},
          {"weaponarena", "0"},
          {"deathmatch", "1"},
          {"protocol", "34"},
          {"cheats", "0"},
          {"skill", "1"},
          {"sv_violence", "0"},
          {"version", "3.21 Linux"},
          {"fraglimit", "30"},
          {"timelimit", "20"},
          {"sv_suicidepenalty", "2"},
          {"g_movescale", "1"},
          {"ctf_loops", "3"},
          {"control_limit", "100"},
          {"control_bonus", "5"},
          {"hostname", "Simulated Arena"},
          {"maxclients", "32"},
          {"dmflags", "16"},
          {"user", "operator"}};
}

std::string address_text(const Player& player, Layout layout) {
  if (player.ip == "loopback") {
    return player.ip;
  }
  if (layout == Layout::BRACKETED) {
    return "[" + player.ip + "]:" + std::to_string(player.port);
  }
  return player.ip + ":" + std::to_string(player.port);
}

// The plain layouts print each byte of a name in the status with its high bit cleared.
std::string status_name(const std::string& name, Layout layout) {
  std::string shown = name;
  if (layout != Layout::TITLED) {
    for (char& c : shown) {
      c = static_cast<char>(static_cast<unsigned char>(c) & 0x7F);
    }
  }
  return shown;
}

std::string lowercase(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return result;
}

Player normalized(Player player) {
  player.name = player.name.substr(0, player.name.find('\0'));
  if (player.name.size() > MAX_NAME_LENGTH) {
    player.name.resize(MAX_NAME_LENGTH);
  }
  return player;
}

bool valid_slot(int slot) {
  return slot >= 0 && slot < SIM_MAX_CLIENTS;
}

std::string_view first_word(std::string_view command) {
  return command.substr(0, command.find(' '));
}

// Faults kept to one command word leave the replies to every other command clean.
Faults faults_for(const Faults& faults, const std::string& command) {
  if (faults.only_command.empty() ||
      lowercase(first_word(command)) == lowercase(faults.only_command)) {
    return faults;
  }
  return {};
}

// The text after "rcon " up to the NUL: the password, a blank and the command.
std::pair<std::string_view, std::string> read_rcon(std::string_view datagram) {
  datagram.remove_prefix(RCON_PREFIX.size());
  datagram = datagram.substr(0, datagram.find('\0'));
  const std::size_t blank = datagram.find(' ');
  return {datagram.substr(0, blank),
          std::string(blank == std::string_view::npos ? std::string_view{}
                                                      : datagram.substr(blank + 1))};
}

}  // namespace

struct SimServer::Impl {
  explicit Impl(std::string server_password) : password(std::move(server_password)) {}

  // Fixed after construction.
  std::string password;
  FileDescriptor socket;
  FileDescriptor other_socket;  // replies "from another port" and the stream leave here
  FileDescriptor wake;          // eventfd that stops the server thread at once
  std::uint16_t bound_port = 0;

  // Shared with the test thread, under `mutex`.
  mutable std::mutex mutex;
  mutable std::condition_variable commands_changed;
  std::array<std::optional<Slot>, SIM_MAX_CLIENTS> slots;
  std::string map = "canyon_ridge";
  std::string gametype = "deathmatch";
  std::vector<std::pair<std::string, std::string>> serverinfo = default_serverinfo();
  double zombie_seconds = 2.0;
  Layout layout = Layout::TITLED;
  int max_clients = 32;
  Faults faults;
  ReplyOverride reply_override;
  std::vector<ReceivedCommand> received;
  std::vector<Kick> kicks;
  std::mt19937 random{20240101};
  RoughLink link;
  std::optional<Repeating> stream;
  std::size_t streamed = 0;
  std::size_t replied = 0;
  std::uint64_t markers_sent = 0;
  std::uint64_t markers_handled = 0;

  // Only the server thread touches the outbox and the datagrams the link holds back.
  std::multimap<steady_clock::time_point, Outgoing> outbox;
  std::vector<Outgoing> held_back;
  std::optional<Repeating> endless;
  std::atomic<bool> stopping{false};
  std::thread thread;

  void open_socket(std::uint16_t port);
  void run();
  void receive_all();
  void handle_datagram(const std::string& datagram, const sockaddr_in& source);
  bool handle_marker(const std::string& datagram);
  void send_due();
  std::size_t send_outgoing(Outgoing outgoing);
  void send_repeating(std::optional<Repeating>& repeating, int descriptor, std::size_t* count);
  int poll_timeout_ms();
  void wake_up();

  // The rest expects `mutex` held.
  void expire_zombies();
  std::vector<std::string> execute(const std::string& command);
  void queue_reply(std::vector<std::string> datagrams, const sockaddr_in& source,
                   const Faults& reply_faults);
  void print_status(OutputRedirect& out);
  void print_client_line(OutputRedirect& out, int i, const Player& player);
  void print_serverinfo(OutputRedirect& out);
  std::optional<int> find_client(OutputRedirect& out, std::string_view argument);
  void print_dumpuser(OutputRedirect& out, std::string_view argument);
  void kick(OutputRedirect& out, std::string_view argument);
  void make_zombie(int slot);
  std::vector<std::string> garbage();
};

void SimServer::Impl::open_socket(std::uint16_t port) {
  socket.reset(open_udp(port));
  other_socket.reset(open_udp(0));
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&local), &length);
  bound_port = ntohs(local.sin_port);
  const int wake_descriptor = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_descriptor < 0) {
    throw std::runtime_error("sim server: cannot create an eventfd");
  }
  wake.reset(wake_descriptor);
}

void SimServer::Impl::wake_up() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake.get(), &one, sizeof one);
}

int SimServer::Impl::poll_timeout_ms() {
  std::optional<steady_clock::time_point> next;
  const auto consider = [&next](steady_clock::time_point due) {
    next = next ? std::min(*next, due) : due;
  };
  if (!outbox.empty()) {
    consider(outbox.begin()->first);
  }
  if (endless) {
    consider(endless->next);
  }
  {
    std::lock_guard lock(mutex);
    if (stream) {
      consider(stream->next);
    }
  }
  if (!next) {
    return -1;
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - steady_clock::now()).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, 60'000));
}

void SimServer::Impl::run() {
  while (!stopping.load()) {
    std::array<pollfd, 2> watched{{{socket.get(), POLLIN, 0}, {wake.get(), POLLIN, 0}}};
    ::poll(watched.data(), watched.size(), poll_timeout_ms());
    if (stopping.load()) {
      break;
    }
    if ((watched[0].revents & POLLIN) != 0) {
      receive_all();
    }
    if ((watched[1].revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = ::read(wake.get(), &count, sizeof count);
    }
    send_due();
  }
}

void SimServer::Impl::receive_all() {
  std::string buffer(MAX_INCOMING_DATAGRAM, '\0');
  for (;;) {
    sockaddr_in source{};
    socklen_t source_length = sizeof source;
    const ssize_t size = ::recvfrom(socket.get(), buffer.data(), buffer.size(), 0,
                                    reinterpret_cast<sockaddr*>(&source), &source_length);
    if (size < 0) {
      return;
    }
    const std::string datagram = buffer.substr(0, static_cast<std::size_t>(size));
    if (!handle_marker(datagram)) {
      handle_datagram(datagram, source);
    }
  }
}

// Datagrams are handled in the order they arrive, so a marker tells that everything sent
// before it has been handled.
bool SimServer::Impl::handle_marker(const std::string& datagram) {
  if (!datagram.starts_with(HANDLED_MARKER)) {
    return false;
  }
  const std::uint64_t number = std::strtoull(datagram.c_str() + HANDLED_MARKER.size(), nullptr, 10);
  std::lock_guard lock(mutex);
  markers_handled = std::max(markers_handled, number);
  commands_changed.notify_all();
  return true;
}

void SimServer::Impl::handle_datagram(const std::string& datagram, const sockaddr_in& source) {
  if (!datagram.starts_with(RCON_PREFIX)) {
    return;
  }
  const auto [given_password, command] = read_rcon(datagram);
  const bool password_ok = !password.empty() && given_password == password;

  Faults current_faults;
  ReplyOverride current_override;
  {
    std::lock_guard lock(mutex);
    if (received.size() >= MAX_RECORDED_COMMANDS) {
      received.erase(received.begin(),
                     received.begin() + static_cast<std::ptrdiff_t>(MAX_RECORDED_COMMANDS / 2));
    }
    received.push_back(
        {datagram, command, password_ok, ntohs(source.sin_port), steady_clock::now()});
    commands_changed.notify_all();
    current_faults = faults_for(faults, command);
    current_override = reply_override;
  }
  if (current_faults.silent) {
    return;
  }
  std::optional<std::vector<std::string>> datagrams;
  if (!password_ok) {
    OutputRedirect out;
    out.print("Bad rcon_password.\n");
    datagrams = out.finish();
  } else if (current_override) {
    // Called without the lock so that an override may use the server's own interface.
    datagrams = current_override(command);
  }
  std::lock_guard lock(mutex);
  if (!datagrams) {
    datagrams = execute(command);
  }
  if (current_faults.garbage) {
    datagrams = garbage();
  }
  queue_reply(std::move(*datagrams), source, current_faults);
}

// Puts a reply into the outbox as the faults have it travel: the datagram of the given index
// lost or cut, then the rough link, then the delays; the endless and the late datagram after.
void SimServer::Impl::queue_reply(std::vector<std::string> datagrams, const sockaddr_in& source,
                                  const Faults& reply_faults) {
  const auto dropped = resolve_index(reply_faults.drop_datagram, datagrams.size());
  const auto cut = resolve_index(reply_faults.cut_datagram, datagrams.size());
  if (cut) {
    datagrams[*cut].resize(std::min(datagrams[*cut].size(), reply_faults.cut_bytes));
  }
  if (dropped) {
    datagrams.erase(datagrams.begin() + static_cast<std::ptrdiff_t>(*dropped));
  }
  auto due = steady_clock::now() + std::chrono::milliseconds(reply_faults.reply_delay_ms);
  bool first = true;
  for (WireDatagram& wire : link.carry(std::move(datagrams), reply_faults)) {
    if (!first) {
      due += std::chrono::milliseconds(reply_faults.between_datagrams_ms);
    }
    first = false;
    outbox.emplace(due, Outgoing{std::move(wire.bytes), source, reply_faults.reply_from_other_port,
                                 wire.held_back});
  }
  endless.reset();
  if (reply_faults.endless_ms >= 0) {
    // 0: as often as the real server that floods, about 15000 datagrams a second.
    const auto every =
        reply_faults.endless_ms > 0
            ? steady_clock::duration(std::chrono::milliseconds(reply_faults.endless_ms))
            : steady_clock::duration(std::chrono::microseconds(66));
    const std::string text =
        reply_faults.endless_blanks ? std::string(MAX_DATAGRAM_TEXT, ' ') : std::string("more\n");
    endless = Repeating{std::string(PRINT_HEADER) + text, source, every, due + every};
  }
  if (reply_faults.late_datagram_ms >= 0) {
    outbox.emplace(due + std::chrono::milliseconds(reply_faults.late_datagram_ms),
                   Outgoing{std::string(PRINT_HEADER) + reply_faults.late_datagram_text, source});
  }
}

void SimServer::Impl::send_due() {
  const auto now = steady_clock::now();
  std::size_t sent = 0;
  while (!outbox.empty() && outbox.begin()->first <= now) {
    Outgoing outgoing = std::move(outbox.begin()->second);
    outbox.erase(outbox.begin());
    if (outgoing.held_back) {
      outgoing.held_back = false;
      if (held_back.size() >= MAX_HELD_BACK) {
        held_back.erase(held_back.begin());
      }
      held_back.push_back(std::move(outgoing));
    } else {
      sent += send_outgoing(std::move(outgoing));
    }
  }
  send_repeating(endless, socket.get(), nullptr);
  std::lock_guard lock(mutex);
  replied += sent;
  send_repeating(stream, other_socket.get(), &streamed);
}

// Sends one datagram and then those held back for its destination, oldest first. Returns how
// many went out.
std::size_t SimServer::Impl::send_outgoing(Outgoing outgoing) {
  std::vector<Outgoing> batch;
  batch.push_back(std::move(outgoing));
  const auto released =
      std::stable_partition(held_back.begin(), held_back.end(), [&](const Outgoing& held) {
        return !same_destination(held.destination, batch.front().destination);
      });
  std::move(released, held_back.end(), std::back_inserter(batch));
  held_back.erase(released, held_back.end());
  for (const Outgoing& item : batch) {
    ::sendto(item.from_other_port ? other_socket.get() : socket.get(), item.datagram.data(),
             item.datagram.size(), 0, reinterpret_cast<const sockaddr*>(&item.destination),
             sizeof item.destination);
  }
  return batch.size();
}

// Sends every due repetition (a late wake-up catches up) and sets the next.
void SimServer::Impl::send_repeating(std::optional<Repeating>& repeating, int descriptor,
                                     std::size_t* count) {
  const auto now = steady_clock::now();
  while (repeating && repeating->next <= now) {
    ::sendto(descriptor, repeating->datagram.data(), repeating->datagram.size(), 0,
             reinterpret_cast<const sockaddr*>(&repeating->destination),
             sizeof repeating->destination);
    repeating->next += repeating->every;
    if (count != nullptr) {
      ++*count;
    }
  }
}

void SimServer::Impl::expire_zombies() {
  const auto now = steady_clock::now();
  for (auto& slot : slots) {
    if (slot && slot->zombie_until && *slot->zombie_until <= now) {
      slot.reset();
    }
  }
}

std::vector<std::string> SimServer::Impl::execute(const std::string& command) {
  expire_zombies();
  OutputRedirect out;
  const std::string_view text(command);
  const std::size_t blank = text.find(' ');
  const std::string_view word = text.substr(0, blank);
  std::string_view argument =
      blank == std::string_view::npos ? std::string_view{} : text.substr(blank + 1);
  argument = argument.substr(0, argument.find(' '));
  const std::string name = lowercase(word);
  if (name == "status") {
    print_status(out);
  } else if (name == "serverinfo") {
    print_serverinfo(out);
  } else if (name == "dumpuser") {
    print_dumpuser(out, argument);
  } else if (name == "kick") {
    kick(out, argument);
  } else if (name == "say" || name.empty()) {
    // The message goes to the players; the console answers nothing.
  } else {
    out.printf("Unknown command \"%s\"\n", std::string(word).c_str());
  }
  return out.finish();
}

void SimServer::Impl::print_status(OutputRedirect& out) {
  if (layout == Layout::TITLED) {
    out.printf("Map              : %s\n", map.c_str());
    out.printf("Gametype         : %s\n", gametype.c_str());
    out.print("\n");
  } else {
    out.printf("map              : %s\n", map.c_str());
  }
  out.print("num score ping name            lastmsg address               qport \n");
  out.print("--- ----- ---- --------------- ------- --------------------- ------\n");
  for (int i = 0; i < SIM_MAX_CLIENTS; ++i) {
    if (slots[static_cast<std::size_t>(i)]) {
      print_client_line(out, i, slots[static_cast<std::size_t>(i)]->player);
    }
  }
  out.print("\n");
}

void SimServer::Impl::print_client_line(OutputRedirect& out, int i, const Player& player) {
  out.printf(layout == Layout::BRACKETED ? "%2i " : "%3i ", i);
  out.printf("%5i ", player.score);
  if (player.zombie) {
    out.print("ZMBI ");
  } else if (player.connecting) {
    out.print("CNCT ");
  } else {
    out.printf("%4i ", std::min(player.ping, 9999));
  }
  const std::string name = player.zombie ? std::string() : status_name(player.name, layout);
  out.print(name);
  for (std::size_t column = name.size(); column < 16; ++column) {
    out.print(" ");
  }
  out.printf("%7i ", player.lastmsg);
  const std::string address = address_text(player, layout);
  out.print(address);
  for (std::size_t column = address.size(); column < 22; ++column) {
    out.print(" ");
  }
  out.printf("%5i", player.qport);
  out.print("\n");
}

namespace {

void print_info_line(OutputRedirect& out, const std::string& key, const std::string& value) {
  std::string padded = key;
  if (padded.size() < INFO_KEY_WIDTH) {
    padded.resize(INFO_KEY_WIDTH, ' ');
  }
  out.print(padded);
  out.print(value + "\n");
}

}  // namespace

void SimServer::Impl::print_serverinfo(OutputRedirect& out) {
  auto settings = serverinfo;
  if (layout == Layout::TITLED) {
    out.print("\n");
  } else {
    std::ranges::stable_sort(settings, {}, [](const auto& setting) { return setting.first; });
  }
  out.print("Server info settings:\n");
  for (const auto& [key, value] : settings) {
    print_info_line(out, key, value);
  }
}

std::optional<int> SimServer::Impl::find_client(OutputRedirect& out, std::string_view argument) {
  const std::string text(argument);
  if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0])) != 0) {
    const long long number = std::strtoll(text.c_str(), nullptr, 10);
    if (number < 0 || number >= max_clients) {
      out.printf("Bad client slot: %lld\n", number);
      return std::nullopt;
    }
    if (!slots[static_cast<std::size_t>(number)]) {
      out.printf("Client %lld is not active\n", number);
      return std::nullopt;
    }
    return static_cast<int>(number);
  }
  for (int i = 0; i < SIM_MAX_CLIENTS; ++i) {
    const auto& slot = slots[static_cast<std::size_t>(i)];
    if (slot && !slot->player.zombie && slot->player.name == text) {
      return i;
    }
  }
  out.printf("Userid %s is not on the server\n", text.c_str());
  return std::nullopt;
}

void SimServer::Impl::print_dumpuser(OutputRedirect& out, std::string_view argument) {
  if (argument.empty()) {
    out.print("Usage: dumpuser <userid>\n");
    return;
  }
  const std::optional<int> client = find_client(out, argument);
  if (!client) {
    return;
  }
  const Slot& slot = *slots[static_cast<std::size_t>(*client)];
  const Player& player = slot.player;
  out.print("userinfo\n");
  out.print("--------\n");
  print_info_line(out, "name", player.zombie ? std::string() : player.name);
  if (layout == Layout::TITLED) {
    print_info_line(out, "ip", address_text(player, layout));
  }
  for (const auto& [key, value] : player.userinfo) {
    print_info_line(out, key, value);
  }
  // The plain layouts keep the client's own order, in which the server adds the address last.
  if (layout != Layout::TITLED && !slot.renamed) {
    print_info_line(out, "ip", address_text(player, layout));
  }
}

void SimServer::Impl::make_zombie(int slot) {
  auto& entry = slots[static_cast<std::size_t>(slot)];
  // Kicking a zombie again does not keep it any longer.
  if (entry->zombie_until) {
    return;
  }
  entry->player.zombie = true;
  entry->player.connecting = false;
  entry->player.name.clear();
  entry->zombie_until =
      steady_clock::now() + std::chrono::duration_cast<steady_clock::duration>(
                                std::chrono::duration<double>(std::max(zombie_seconds, 0.0)));
}

void SimServer::Impl::kick(OutputRedirect& out, std::string_view argument) {
  if (argument.empty()) {
    out.print("Usage: kick <userid>\n");
    return;
  }
  const std::optional<int> client = find_client(out, argument);
  if (!client) {
    return;
  }
  const Player& player = slots[static_cast<std::size_t>(*client)]->player;
  out.printf("%s was kicked\n", player.name.c_str());
  if (kicks.size() >= MAX_RECORDED_COMMANDS) {
    kicks.erase(kicks.begin(),
                kicks.begin() + static_cast<std::ptrdiff_t>(MAX_RECORDED_COMMANDS / 2));
  }
  kicks.push_back({*client, player});
  make_zombie(*client);
}

std::vector<std::string> SimServer::Impl::garbage() {
  std::vector<std::string> datagrams(std::uniform_int_distribution<int>(1, 3)(random));
  std::uniform_int_distribution<int> byte(0, 255);
  for (std::string& datagram : datagrams) {
    datagram.resize(static_cast<std::size_t>(std::uniform_int_distribution<int>(0, 1500)(random)));
    for (char& c : datagram) {
      c = static_cast<char>(byte(random));
    }
    // Now and then a header that looks right, so that the text behind it is read.
    if (datagram.size() >= PRINT_HEADER.size() && byte(random) < 128) {
      datagram.replace(0, PRINT_HEADER.size(), PRINT_HEADER);
    }
  }
  return datagrams;
}

std::string forged_status_datagram() {
  return std::string(PRINT_HEADER) +
         "Map              : forged\n"
         "Gametype         : deathmatch\n"
         "\n"
         "num score ping name            lastmsg address               qport \n"
         "--- ----- ---- --------------- ------- --------------------- ------\n"
         "  7     0   50 Intruder              0 203.0.113.66:27901     4242\n"
         "\n";
}

SimServer::SimServer(std::string password, std::uint16_t port)
    : impl_(std::make_unique<Impl>(std::move(password))) {
  impl_->open_socket(port);
  impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

SimServer::~SimServer() {
  impl_->stopping.store(true);
  impl_->wake_up();
  impl_->thread.join();
}

std::uint16_t SimServer::port() const {
  return impl_->bound_port;
}

void SimServer::set_player(int slot, Player player) {
  if (!valid_slot(slot)) {
    throw std::out_of_range("sim server: no slot " + std::to_string(slot));
  }
  std::lock_guard lock(impl_->mutex);
  impl_->slots[static_cast<std::size_t>(slot)] =
      Slot{normalized(std::move(player)), std::nullopt, false};
}

void SimServer::remove_player(int slot) {
  if (!valid_slot(slot)) {
    throw std::out_of_range("sim server: no slot " + std::to_string(slot));
  }
  std::lock_guard lock(impl_->mutex);
  impl_->slots[static_cast<std::size_t>(slot)].reset();
}

void SimServer::clear_players() {
  std::lock_guard lock(impl_->mutex);
  for (auto& slot : impl_->slots) {
    slot.reset();
  }
}

std::optional<Player> SimServer::player(int slot) const {
  if (!valid_slot(slot)) {
    return std::nullopt;
  }
  std::lock_guard lock(impl_->mutex);
  impl_->expire_zombies();
  const auto& entry = impl_->slots[static_cast<std::size_t>(slot)];
  if (!entry) {
    return std::nullopt;
  }
  return entry->player;
}

void SimServer::fill_players(int count) {
  std::lock_guard lock(impl_->mutex);
  for (int i = 0; i < std::min(count, SIM_MAX_CLIENTS); ++i) {
    Player player;
    player.name = (i < 10 ? "Player0" : "Player") + std::to_string(i);
    player.ip = (i % 2 == 0 ? "192.0.2." : "198.51.100.") + std::to_string(i % 254 + 1);
    player.port = 27901 + i;
    player.qport = 1000 + 7 * i;
    player.score = i;
    player.ping = 20 + i;
    player.lastmsg = i % 5;
    player.userinfo = {{"skin", "soldier/green"}, {"rate", "25000"}, {"fov", "90"}};
    impl_->slots[static_cast<std::size_t>(i)] = Slot{std::move(player), std::nullopt, false};
  }
}

void SimServer::set_map(std::string map, std::string gametype) {
  std::lock_guard lock(impl_->mutex);
  for (auto& [key, value] : impl_->serverinfo) {
    if (key == "mapname") {
      value = map;
    }
  }
  impl_->map = std::move(map);
  impl_->gametype = std::move(gametype);
}

void SimServer::set_serverinfo(std::vector<std::pair<std::string, std::string>> settings) {
  std::lock_guard lock(impl_->mutex);
  impl_->serverinfo = std::move(settings);
}

void SimServer::rename_player(int slot, std::string name) {
  std::lock_guard lock(impl_->mutex);
  if (!valid_slot(slot) || !impl_->slots[static_cast<std::size_t>(slot)]) {
    return;
  }
  Slot& entry = *impl_->slots[static_cast<std::size_t>(slot)];
  Player renamed = entry.player;
  renamed.name = std::move(name);
  entry.player = normalized(std::move(renamed));
  entry.renamed = true;
}

void SimServer::set_layout(Layout layout) {
  std::lock_guard lock(impl_->mutex);
  impl_->layout = layout;
}

void SimServer::set_max_clients(int count) {
  std::lock_guard lock(impl_->mutex);
  impl_->max_clients = std::clamp(count, 1, SIM_MAX_CLIENTS);
  for (auto& [key, value] : impl_->serverinfo) {
    if (key == "maxclients") {
      value = std::to_string(impl_->max_clients);
    }
  }
}

std::vector<std::optional<Player>> SimServer::players() const {
  std::lock_guard lock(impl_->mutex);
  impl_->expire_zombies();
  std::vector<std::optional<Player>> players;
  for (int slot = 0; slot < impl_->max_clients; ++slot) {
    const auto& entry = impl_->slots[static_cast<std::size_t>(slot)];
    players.push_back(entry ? std::optional(entry->player) : std::nullopt);
  }
  return players;
}

int SimServer::max_clients() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->max_clients;
}

void SimServer::set_zombie_seconds(double seconds) {
  std::lock_guard lock(impl_->mutex);
  impl_->zombie_seconds = seconds;
}

void SimServer::set_faults(Faults faults) {
  std::lock_guard lock(impl_->mutex);
  impl_->link.reseed(faults.link_seed);
  impl_->faults = std::move(faults);
}

void SimServer::set_reply_override(ReplyOverride reply_override) {
  std::lock_guard lock(impl_->mutex);
  impl_->reply_override = std::move(reply_override);
}

void SimServer::start_stream(std::uint16_t port, int per_second, std::string datagram) {
  {
    std::lock_guard lock(impl_->mutex);
    const auto every = std::chrono::nanoseconds(1'000'000'000LL / std::max(per_second, 1));
    impl_->stream =
        Repeating{std::move(datagram), loopback(port),
                  std::chrono::duration_cast<steady_clock::duration>(every), steady_clock::now()};
  }
  impl_->wake_up();
}

void SimServer::stop_stream() {
  std::lock_guard lock(impl_->mutex);
  impl_->stream.reset();
}

std::size_t SimServer::streamed() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->streamed;
}

std::size_t SimServer::replied() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->replied;
}

std::vector<ReceivedCommand> SimServer::commands() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->received;
}

void SimServer::clear_commands() {
  std::lock_guard lock(impl_->mutex);
  impl_->received.clear();
}

std::vector<Kick> SimServer::kicks() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->kicks;
}

bool SimServer::wait_for_commands(std::size_t count, int timeout_ms) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->commands_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                          [&] { return impl_->received.size() >= count; });
}

bool SimServer::wait_until_handled(int timeout_ms) const {
  std::uint64_t number = 0;
  {
    std::lock_guard lock(impl_->mutex);
    number = ++impl_->markers_sent;
  }
  const FileDescriptor sender(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const std::string marker = std::string(HANDLED_MARKER) + std::to_string(number);
  const sockaddr_in server = loopback(impl_->bound_port);
  if (sender.get() < 0 || ::sendto(sender.get(), marker.data(), marker.size(), 0,
                                   reinterpret_cast<const sockaddr*>(&server), sizeof server) < 0) {
    return false;
  }
  std::unique_lock lock(impl_->mutex);
  return impl_->commands_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                          [&] { return impl_->markers_handled >= number; });
}

void SimServer::kick_player(int slot) {
  if (!valid_slot(slot)) {
    return;
  }
  std::lock_guard lock(impl_->mutex);
  impl_->expire_zombies();
  if (impl_->slots[static_cast<std::size_t>(slot)]) {
    impl_->make_zombie(slot);
  }
}

std::vector<std::string> SimServer::execute(const std::string& command) {
  std::lock_guard lock(impl_->mutex);
  return impl_->execute(command);
}

}  // namespace drav_sim
