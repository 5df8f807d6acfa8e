// What every program of the agent answers on its command line alike.
#pragma once

#include <cstdio>
#include <cstring>
#include <optional>

namespace procblock {

// A lone --help or -h prints `usage` on standard output, a lone --version the
// program's version: either gives the exit status (0). Anything else is left
// to the caller.
inline std::optional<int> answerStandardOption(int argc, char** argv, const char* program,
                                               const char* usage) {
  if (argc != 2) return std::nullopt;
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(usage, stdout);
    return 0;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s %s\n", program, PROCBLOCK_VERSION);
    return 0;
  }
  return std::nullopt;
}

// An argument the program does not take: the usage on standard error, and
// the status of a usage error; nothing else is done.
inline int refuseArguments(const char* usage) {
  std::fputs(usage, stderr);
  return 2;
}

}  // namespace procblock
