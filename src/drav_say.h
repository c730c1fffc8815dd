// The in-game announcement: a "say" command sent through the remote console link.
#pragma once

/// Says a formatted message in game: "say" with the message framed in the colour code
/// (low 8 bits of `color`), made console-safe, sent on the main socket.
[[gnu::format(printf, 2, 3)]] void r_dravtools_say(int color, const char* format, ...);
