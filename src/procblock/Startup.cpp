#include "procblock/Startup.hpp"

#include <unistd.h>

#include <climits>
#include <string>

#include "procblock/AgentLog.hpp"
#include "procblock/BlockList.hpp"
#include "procblock/Verdict.hpp"
#include "procscope/Log.hpp"

namespace procblock::startup {

std::shared_ptr<::procscope::ProcScope> procscope;

namespace {

std::string currentDirectory() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

}  // namespace

void run() {
  // Before standard error moves, so these lines reach whoever started us.
  CreateBlockAccessLog();
  reopenStandardError();
  ::procscope::logMessage("started");
  // The platform's request not to throttle an idle process has no Linux
  // counterpart: a daemon is never napped.
  setItems(readBlockList(blockListPath(currentDirectory())));
  ::procscope::logMessage("got items: " + describeItems(items()));
  procscope = ::procscope::ProcScope::init(true);
  procscope->start(block);
}

void runLoop() {
  // The workspace delivers on its own thread; the main thread only waits.
  for (;;) pause();
}

}  // namespace procblock::startup
