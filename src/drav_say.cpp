// The in-game announcement. It sits above both the text tools and the remote console link,
// so that the tools need nothing else of the program.
#include "drav_say.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "drav_net.h"
#include "drav_tools.h"

namespace {

constexpr std::size_t SAY_BUFFER_SIZE = 512;

}  // namespace

void r_dravtools_say(int color, const char* format, ...) {
  char message[SAY_BUFFER_SIZE];
  va_list arguments;
  va_start(arguments, format);
  const int formatted = std::vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);
  if (formatted < 0) {
    return;  // the arguments could not be formatted: nothing sensible to say
  }
  r_dravtools_remove_invalid_console_chars(message);

  // Asterisks in the colour of the message frame it, so it stands out in the players' chat.
  const int color_code = color & 0xFF;
  char command[SAY_BUFFER_SIZE];
  // A long message is cut where the buffer ends, losing the closing asterisks and quote.
  if (std::snprintf(command, sizeof command, "say \"-%c%c*** %s %c***\"", 0x0D, color_code, message,
                    color_code) < 0) {
    return;
  }
  // The reply is only awaited so that the server has taken the command; it says nothing.
  (void)r_dravnet_send_command(command, 1, NET_MAIN_SOCKET);
}
