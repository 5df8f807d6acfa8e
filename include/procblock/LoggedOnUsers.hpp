// Who is logged on, for the agent's diagnostic log, and the way it runs an
// external program to its end. Start-up calls neither.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace procblock {

// Runs the program at `path` with exactly `arguments` after its own name
// (the path's last component) and returns what it wrote to standard output.
// Standard input and error are the caller's. Each 1024-byte chunk of output
// is kept only when it is valid UTF-8 by itself. None, with a diagnostic
// line, when the program cannot be started or its output cannot be read.
// The child is always waited for.
std::optional<std::string> GetOutputForExecution(const std::string& path,
                                                 const std::vector<std::string>& arguments);

// The login names of the users who are logged on, joined by ",": one for
// each login, in the order the login records give them, a domain part
// before a backslash left out, "_mbsetupuser" skipped. None when nobody is
// logged on. Every step is written to the diagnostic log.
std::optional<std::string> GetLoggedOnUsers();

}  // namespace procblock
