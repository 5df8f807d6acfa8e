// procblock: stops the programs listed in vornik.txt (working directory).
#include <cstring>

#include "procblock/CommandLine.hpp"
#include "procblock/Startup.hpp"

namespace {

constexpr const char* kUsage =
    "usage: procblock [--deny-exec | --help | --version]\n"
    "\n"
    "Stops programs that the administrator has forbidden. Reads the block list\n"
    "vornik.txt from the working directory once at start, watches every process\n"
    "that starts on the machine, and kills the process group of each one whose\n"
    "bundle identifier, name or executable path equals an entry. Logs to\n"
    "/Library/Corventa/Tessor_Agent/logs. Runs as root, as the procblock service.\n"
    "\n"
    "      --deny-exec  also refuse each listed program's exec, so that it never\n"
    "                   runs (needs CAP_SYS_ADMIN; under the service, the drop-in\n"
    "                   deny-exec.conf); the kill stays on behind it\n"
    "  -h, --help       show this help and exit\n"
    "      --version    show the version and exit\n";

}  // namespace

int main(int argc, char** argv) {
  // The service starts the agent without arguments; anything else is a
  // person at a terminal, who must never start a live agent by mistake.
  if (const auto status = procblock::answerStandardOption(argc, argv, "procblock", kUsage)) {
    return *status;
  }
  procblock::startup::Options options;
  if (argc == 2 && std::strcmp(argv[1], "--deny-exec") == 0) {
    options.denyExec = true;
  } else if (argc > 1) {
    return procblock::refuseArguments(kUsage);
  }
  procblock::startup::run(options);
  procblock::startup::runLoop();
}
