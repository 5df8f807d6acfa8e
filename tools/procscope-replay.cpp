// procscope-replay: runs the monitor over a recorded BSM trail and prints each
// Process it delivers, as the agent would receive it.
//
//   procscope-replay [--live] FILE     (FILE "-" reads standard input)
//   procscope-replay --capture FILE    (root) records the live process events
//
// A trail recorded on another machine names processes that do not exist here,
// or pids that belong to other processes here, so by default every live-process
// query answers "no such process"; --live consults this machine instead.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

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
  std::fputs("usage: procscope-replay [--live] FILE\n       procscope-replay --capture FILE\n",
             stderr);
  return 2;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Writes the live source's records to `file`, unchanged, until SIGINT or
// SIGTERM. The signals are taken synchronously between records, so every
// record in the file is whole.
int capture(const std::string& file) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before any thread starts

  auto stream = procscope::ProcScope::openPipe(procscope::platform::kAuditPipePath);
  if (!stream) {
    std::fputs("procscope-replay: cannot open the live process events (run as root)\n", stderr);
    return 1;
  }
  FILE* out = file == "-" ? stdout : std::fopen(file.c_str(), "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "procscope-replay: cannot write %s: %s\n", file.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    int sig = 0;
    sigwait(&stop, &sig);
    done = true;
  });
  std::vector<std::uint8_t> buffer;
  std::uint64_t records = 0;
  int rc = 0;
  // A record arrives with every process event on the machine, so the stop
  // flag is seen promptly; the capture's own exit produces one more.
  while (!done) {
    std::int64_t n = stream->readRecord(buffer);
    if (n <= 0 || done) continue;
    if (!writeAll(fileno(out), buffer.data(), static_cast<std::size_t>(n))) {
      std::fprintf(stderr, "procscope-replay: write failed: %s\n", std::strerror(errno));
      rc = 1;
      break;
    }
    ++records;
  }
  if (rc != 0) kill(getpid(), SIGTERM);  // release the waiter
  waiter.join();
  if (out != stdout) std::fclose(out);
  std::fprintf(stderr, "procscope-replay: captured %llu records\n",
               static_cast<unsigned long long>(records));
  return rc;
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
  bool record = false;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--live") {
      live = true;
    } else if (arg == "--capture") {
      record = true;
    } else if (!file.empty() || (arg.starts_with("-") && arg != "-")) {
      return usage();
    } else {
      file = arg;
    }
  }
  if (file.empty() || (record && live)) return usage();
  if (record) return capture(file);

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
