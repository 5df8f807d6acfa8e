// The diagnostic logger: one message per call on standard error behind a
// "date time.ms program[pid:tid] " prefix, written with a single write(2)
// so that concurrent messages never interleave; also handed to syslog.
#pragma once

#include <string>
#include <string_view>

namespace procscope {

void logMessage(std::string_view message);

// Formats the prefix for a given moment; exposed for tests.
std::string logPrefix();

// Text the agent did not write (program names, paths) made safe for a log
// line: bytes below 0x20 and 0x7F become visible escapes (\n, \r, \t, \xNN);
// everything else, UTF-8 included, stays as it is.
std::string visibleText(std::string_view text);

}  // namespace procscope
