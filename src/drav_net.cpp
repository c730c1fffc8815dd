// Placeholder until the transport lands: no reply ever arrives.
#include "drav_net.h"

void r_dravnet_init(const ts_config&) {}
std::optional<std::string> r_dravnet_send_command(std::string_view, int, int) {
  return std::nullopt;
}
void r_dravnet_finish() {}
