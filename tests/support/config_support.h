// A complete configuration file for tests, with one key's line replaceable.
#pragma once

#include <map>
#include <string>

namespace drav_test {

/// The 24 keys of "drav-logger.cfg" in file order with working values; `overrides` replaces
/// the value of a key (given without "="), and a key mapped to "<omit>" leaves its line out.
std::string config_text(const std::map<std::string, std::string>& overrides = {});

}  // namespace drav_test
