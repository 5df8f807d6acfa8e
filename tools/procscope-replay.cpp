// procscope-replay: runs the monitor over a recorded BSM trail and prints each
// Process it delivers, as the agent would receive it.
//
//   procscope-replay [--live] FILE     (FILE "-" reads standard input)
//
// A trail recorded on another machine names processes that do not exist here,
// or pids that belong to other processes here, so by default every live-process
// query answers "no such process"; --live consults this machine instead.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "procscope/ProcessMonitor.hpp"
#include "procscope/platform/AuditPipe.hpp"
#include "procscope/platform/Kernel.hpp"

namespace {

using procscope::platform::AuditPipeLayer;
using procscope::platform::AuditStream;

// Remembers whether the trail could be opened, so a bad FILE is reported.
class OpenWatch final : public AuditPipeLayer {
 public:
  explicit OpenWatch(std::shared_ptr<AuditPipeLayer> inner) : inner_(std::move(inner)) {}
  std::unique_ptr<AuditStream> open(const std::string& path) override {
    auto stream = inner_->open(path);
    opened = stream != nullptr;
    return stream;
  }
  bool opened = false;

 private:
  std::shared_ptr<AuditPipeLayer> inner_;
};

int usage() {
  std::fputs("usage: procscope-replay [--live] FILE\n", stderr);
  return 2;
}

void print(const std::shared_ptr<procscope::Process>& process) {
  std::string out = "type: " + std::to_string(process->type()) + "\n";
  out += process->description();
  out += "\n\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
}

}  // namespace

int main(int argc, char** argv) {
  bool live = false;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--live") {
      live = true;
    } else if (!file.empty() || (arg.starts_with("-") && arg != "-")) {
      return usage();
    } else {
      file = arg;
    }
  }
  if (file.empty()) return usage();

  namespace platform = procscope::platform;
  if (!live) platform::Kernel::install(platform::makeAbsentKernel());
  auto watch = std::make_shared<OpenWatch>(platform::makeAuditPipeLayer(nullptr));
  platform::AuditPipes::install(watch);

  // As the agent runs it: no signing information, no icons.
  auto monitor = procscope::ProcScope::init(true);
  monitor->setPipePath(file == "-" ? "/dev/stdin" : file);
  monitor->setStopWhenInputExhausted(true);
  monitor->setProcessCallback(print);
  monitor->monitor();

  if (!watch->opened) {
    std::fprintf(stderr, "procscope-replay: cannot read %s\n", file.c_str());
    return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
