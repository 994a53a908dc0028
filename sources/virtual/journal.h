// The journal tests read: one line per event, appended to the file named by
// LUMRA_VIRTUAL_JOURNAL (nothing is written when it is unset).
#pragma once

#include <string>

namespace lumra::virtual_scanner {

/// Appends one line (a newline is added). Safe from any thread.
void journalLine(const std::string& line);

/// Text as a journal value: in double quotes, with quotes and backslashes escaped.
std::string quoted(const std::string& text);

}  // namespace lumra::virtual_scanner
