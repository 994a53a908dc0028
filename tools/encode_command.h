// lumra-scan encode: turns a captured .bmp into any page format through the
// host's own page writer, so anyone can see exactly what a scan would give.
#pragma once

#include <string>
#include <vector>

namespace lumra {

/// Runs `encode` with the arguments after the verb. Exit status: 0 written,
/// 1 the input could not be read or the page writer refused it, 2 bad usage.
/// Messages go to standard error.
int runEncodeVerb(const std::vector<std::string>& args);

extern const char kEncodeHelp[];

}  // namespace lumra
