// A simulated game server that answers the remote console over UDP on
// 127.0.0.1 the way a real server of this kind does: password check, output
// collected in a 1384-byte buffer and sent as "print" datagrams split between
// print calls, the status, serverinfo and dumpuser layouts, kicks that leave a
// zombie for a while. Usable in-process (tests start it on a free port) and as
// the program sim-server.
//
// Its link can be made as rough as a real network (Faults): with a fixed seed, a
// share of the reply datagrams is lost, cut short at any byte (the header too),
// sent twice, or held back and delivered after the next datagram to the same
// client, so that the datagrams of a reply arrive out of order and the end of one
// reply can arrive inside the next one on that socket. Replies can be split
// wherever the buffer happens to fill, at any byte of a line, so that a busy
// server's status arrives as two to four datagrams cut through lines, names and
// numbers. The faults can be kept to the replies of one command word, and every
// run with the same seed and the same commands meets the same faults.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace drav_sim {

/// Slots a simulated server can have; it has 32 unless told otherwise (set_max_clients).
inline constexpr int SIM_MAX_CLIENTS = 256;

/// How the server writes its replies, as the builds of real servers do:
/// - TITLED (sim-server --layout titled): status with "Map", "Gametype" and an empty line; a
///   settings reply after an empty line, keys in the order set; details with "name" and "ip"
///   first;
/// - PLAIN: status with only a lower-case "map" line, names with the high bit of each byte
///   cleared; settings without the empty line, keys in alphabetical order; details with the
///   keys in the client's order, "ip" last and dropped when the player renames;
/// - BRACKETED: as plain, with the client number in 2 columns and addresses in brackets.
enum class Layout { TITLED, PLAIN, BRACKETED };

/// One player of the table. Addresses are text only; nothing is ever sent to them.
struct Player {
  std::string name;              // raw name, colour codes and game characters allowed
  std::string ip = "192.0.2.1";  // dotted text, or "loopback"
  int port = 27901;
  int qport = 1000;
  int score = 0;
  int ping = 50;  // capped at 9999 when printed
  int lastmsg = 0;
  bool connecting = false;  // listed as CNCT
  bool zombie = false;      // listed as ZMBI with an empty name
  /// Further dumpuser keys, in order, printed after the built-in ones ("name", "ip").
  std::vector<std::pair<std::string, std::string>> userinfo;
};

/// One command datagram the server received.
struct ReceivedCommand {
  std::string datagram;      // every byte as received, header and trailing NUL included
  std::string command;       // the text after "rcon <password> ", up to the NUL
  bool password_ok = false;  // the password matched
  std::uint16_t source_port = 0;
  std::chrono::steady_clock::time_point received_at;
};

/// A "kick" command the server carried out: the slot and who held it at that moment.
struct Kick {
  int slot = 0;
  Player player;
};

/// Ways to make the server misbehave.
struct Faults {
  bool silent = false;           // answer nothing at all
  int reply_delay_ms = 0;        // wait before the first datagram of a reply
  int between_datagrams_ms = 0;  // wait between the datagrams of one reply
  int late_datagram_ms = -1;     // >= 0: one extra "print" datagram this long after a reply
  std::string late_datagram_text = "late\n";
  bool garbage = false;  // answer random bytes instead of the real reply
  /// The datagram of each reply with this index (from 0; negative counts from the end, -1
  /// is the last) is lost, or cut to `cut_bytes` bytes.
  std::optional<int> drop_datagram = std::nullopt;
  std::optional<int> cut_datagram = std::nullopt;
  std::size_t cut_bytes = 0;
  bool reply_from_other_port = false;  // replies leave from a second socket of the server
  /// >= 0: the server never stops sending; after each reply a further "print" datagram goes
  /// to the same client this often (0: 15000 a second), until a command comes while this is off.
  int endless_ms = -1;
  /// The endless datagrams are full of blanks without a line feed, as a real server sends
  /// them when a padding count wraps around, instead of "more\n".
  bool endless_blanks = false;

  // The rough link. Chances in percent for each reply datagram: lost; cut short to a random
  // length (from nothing up to one byte short, the header included); sent twice; held back
  // and delivered right after the next datagram the server sends to the same address, however
  // long that takes (each copy of a doubled datagram on its own).
  int lose_percent = 0;
  int cut_percent = 0;
  int double_percent = 0;
  int reorder_percent = 0;
  /// The reply is split wherever the buffer happens to fill instead of between print calls:
  /// each datagram carries from half the buffer to all of it, ending at any byte of a line.
  bool split_anywhere = false;
  /// Seeds the draws of the rough link; set_faults starts them anew, so the same seed gives
  /// the same faults to the same sequence of commands.
  std::uint32_t link_seed = 1;
  /// Not empty: every fault of this record applies only to the replies to commands with this
  /// first word (case ignored, e.g. "status", "dumpuser"); other commands are answered cleanly.
  std::string only_command = {};
};

/// Builds the datagrams of a reply to `command` (each one complete, header included), or
/// nothing to fall back to the normal answer. For transport tests that need exact bytes.
using ReplyOverride =
    std::function<std::optional<std::vector<std::string>>(const std::string& command)>;

/// A complete "print" datagram of a status reply that lists a player who is not there
/// ("Intruder" at 203.0.113.66:27901, client 7), as someone might forge it.
std::string forged_status_datagram();

class SimServer {
 public:
  /// Starts answering on 127.0.0.1:`port` (0 picks a free port) in a thread of its own.
  /// Throws std::runtime_error when the socket cannot be bound.
  explicit SimServer(std::string password, std::uint16_t port = 0);
  /// Stops the thread and closes the socket.
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  /// The UDP port the server listens on.
  std::uint16_t port() const;

  /// Puts `player` into slot 0..255 (replacing whoever was there); names are cut at 31 bytes.
  /// A player put in as a zombie stays one until replaced; only kicks free the slot by
  /// themselves. Throws std::out_of_range for another slot number.
  void set_player(int slot, Player player);
  /// The player in `slot` takes the name `name` as a rename in game does: in the plain layouts
  /// the details lose their "ip" line until the slot is set anew. Nothing for a free slot.
  void rename_player(int slot, std::string name);
  /// Frees slot 0..255.
  void remove_player(int slot);
  /// Frees every slot.
  void clear_players();
  /// The player in a slot, if any.
  std::optional<Player> player(int slot) const;
  /// The whole table at one moment: each slot up to the slot count, with its player if any.
  std::vector<std::optional<Player>> players() const;
  /// Fills slots 0..count-1 (at most 256) with generated players (names, 192.0.2.x /
  /// 198.51.100.x addresses).
  void fill_players(int count);

  /// Map and game type of the status reply.
  void set_map(std::string map, std::string gametype);
  /// The layout of the replies (titled until set).
  void set_layout(Layout layout);
  /// The server's slot count, 1 to 256 (32 until set): details and kicks of a higher number are
  /// refused, and the settings' "maxclients" follows it.
  void set_max_clients(int count);
  /// The server's slot count.
  int max_clients() const;
  /// Keys and values of the serverinfo reply, in order (defaults to a plausible set).
  void set_serverinfo(std::vector<std::pair<std::string, std::string>> settings);
  /// How long a kicked player stays listed as a zombie before the slot is free (default 2 s).
  void set_zombie_seconds(double seconds);
  /// Kicks a player as the "kick" command does: a zombie for the zombie time, then free.
  void kick_player(int slot);
  /// Sets the fault knobs; the rough link's draws start anew from their seed.
  void set_faults(Faults faults);
  /// Answers with the datagrams the override builds whenever it returns some. It is asked
  /// only for commands that carry the right password, without the server's lock held.
  void set_reply_override(ReplyOverride reply_override);

  /// Sends `datagram` `per_second` times a second from the server's second socket (another
  /// port) to 127.0.0.1:`port`, until stop_stream; one stream at a time.
  void start_stream(std::uint16_t port, int per_second, std::string datagram);
  void stop_stream();
  /// Datagrams the stream has sent so far.
  std::size_t streamed() const;
  /// Reply datagrams sent so far (the stream's not counted). A datagram to 127.0.0.1 is in the
  /// receiver's queue once it counts here.
  std::size_t replied() const;

  /// Every remote console datagram (four 0xFF bytes and "rcon ") received so far, oldest
  /// first; other datagrams are neither answered nor kept. Past 100000 the oldest half is
  /// forgotten, so that a long-running server does not grow without end.
  std::vector<ReceivedCommand> commands() const;
  /// Forgets the received commands.
  void clear_commands();
  /// Every kick a "kick" command carried out so far, oldest first (kick_player's not counted);
  /// past 100000 the oldest half is forgotten.
  std::vector<Kick> kicks() const;
  /// Waits until at least `count` command datagrams were received, at most `timeout_ms`.
  /// Returns whether they were.
  bool wait_for_commands(std::size_t count, int timeout_ms) const;
  /// Waits until the server has handled every datagram that reached it before this call (the
  /// command recorded, the reply queued), at most `timeout_ms`; returns whether it had. A test
  /// that changes the players after a poll thus never races a command still on its way in.
  bool wait_until_handled(int timeout_ms) const;

  /// Runs `command` as if it came with the right password (its effects included, such as a
  /// kick) and returns the reply datagrams, header included, without faults, override or
  /// recording. Lets tests know the exact answer the network would carry.
  std::vector<std::string> execute(const std::string& command);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace drav_sim
