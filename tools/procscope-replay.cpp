// procscope-replay: runs the monitor over a recorded BSM trail and prints each
// Process it delivers, as the agent would receive it.
//
//   procscope-replay [--live] FILE     (FILE "-" reads standard input)
//   procscope-replay --capture FILE    (root) records the live process events
//
// A trail recorded on another machine names processes that do not exist here,
// or pids that belong to other processes here, so by default every live-process
// query answers "no such process"; --live consults this machine instead.
// A replay ends with a summary on standard error: the records read, those
// skipped as malformed and the bytes outside any record.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
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
#include "procscope/bsm/Reader.hpp"
#include "procscope/bsm/Token.hpp"
#include "procscope/platform/AuditPipe.hpp"
#include "procscope/platform/Kernel.hpp"

namespace {

using procscope::platform::AuditPipeLayer;
using procscope::platform::AuditStream;

// What a replay read, kept apart from the stream, which the monitor destroys.
struct ReadCounts {
  std::uint64_t records = 0;
  std::uint64_t recordBytes = 0;
  std::uint64_t malformed = 0;
  std::uint64_t totalBytes = 0;
  int readError = 0;
};

// A recorded trail, framed here rather than by the library's stream so that
// the replay can say what it read: whole records, items that started as a
// record but were cut or sized impossibly, and bytes that started nothing.
class CountingStream final : public AuditStream {
 public:
  CountingStream(int fd, std::shared_ptr<ReadCounts> counts)
      : fd_(fd), counts_(std::move(counts)) {}
  ~CountingStream() override {
    if (fd_ > STDERR_FILENO) ::close(fd_);
  }
  CountingStream(const CountingStream&) = delete;
  CountingStream& operator=(const CountingStream&) = delete;

  int setPreselectMode(int) override { return 0; }
  int getQueueLimitMax(std::uint32_t& limit) override {
    limit = 65536;
    return 0;
  }
  int setQueueLimit(std::uint32_t) override { return 0; }
  int setPreselectFlags(std::uint32_t, std::uint32_t) override { return 0; }
  int setPreselectNaFlags(std::uint32_t, std::uint32_t) override { return 0; }
  bool exhausted() const override { return exhausted_; }

  std::int64_t readRecord(std::vector<std::uint8_t>& buffer) override {
    while (!exhausted_) {
      const std::uint8_t* at = pending_.data() + position_;
      const std::size_t available = pending_.size() - position_;
      const std::int64_t length = procscope::bsm::recordLength(at, available);
      if (length > 0 && static_cast<std::size_t>(length) <= available) {
        buffer.assign(at, at + length);
        position_ += static_cast<std::size_t>(length);
        // Handed on whatever it holds, as the library's stream would; counted
        // as a record only when it ends in its own trailer, so that bytes
        // which merely frame (random ones do) are not called a trail.
        if (endsInTrailer(buffer)) {
          ++counts_->records;
          counts_->recordBytes += static_cast<std::uint64_t>(length);
        } else if (buffer[0] != procscope::bsm::AUT_FILE) {  // a file token has no trailer
          ++counts_->malformed;
        }
        return length;
      }
      if (length < 0) {
        // As the library's reader resynchronises: past the size of an
        // impossible header, else one byte on.
        const bool itemStart = startsItem(at[0]);
        if (itemStart) ++counts_->malformed;
        position_ += std::min<std::size_t>(itemStart ? 5 : 1, available);
        continue;
      }
      if (!fill()) {
        if (available > 0) ++counts_->malformed;  // a record cut short by the end
        exhausted_ = true;
      }
    }
    return -1;
  }

 private:
  static bool startsItem(std::uint8_t id) {
    namespace bsm = procscope::bsm;
    return id == bsm::AUT_HEADER32 || id == bsm::AUT_HEADER32_EX || id == bsm::AUT_HEADER64 ||
           id == bsm::AUT_HEADER64_EX || id == bsm::AUT_FILE;
  }

  // The trailer token: its id, the magic 0xb105 and the record's length.
  static bool endsInTrailer(const std::vector<std::uint8_t>& record) {
    constexpr std::size_t kTrailer = 7;
    if (record.size() < kTrailer) return false;
    const std::uint8_t* t = record.data() + record.size() - kTrailer;
    const std::uint32_t count = (std::uint32_t{t[3]} << 24) | (std::uint32_t{t[4]} << 16) |
                                (std::uint32_t{t[5]} << 8) | std::uint32_t{t[6]};
    return t[0] == procscope::bsm::AUT_TRAILER && t[1] == 0xb1 && t[2] == 0x05 &&
           count == record.size();
  }

  // More bytes after what is pending; false at the end or on an error.
  bool fill() {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(position_));
    position_ = 0;
    const std::size_t kept = pending_.size();
    pending_.resize(kept + kChunk);
    for (;;) {
      const ssize_t n = ::read(fd_, pending_.data() + kept, kChunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) counts_->readError = errno;
      pending_.resize(kept + static_cast<std::size_t>(n > 0 ? n : 0));
      if (n <= 0) return false;
      counts_->totalBytes += static_cast<std::uint64_t>(n);
      return true;
    }
  }

  static constexpr std::size_t kChunk = 1 << 16;
  int fd_;
  std::shared_ptr<ReadCounts> counts_;
  std::vector<std::uint8_t> pending_;
  std::size_t position_ = 0;
  bool exhausted_ = false;
};

// Serves the replay's one trail; remembers why it could not be opened.
class ReplayLayer final : public AuditPipeLayer {
 public:
  std::unique_ptr<AuditStream> open(const std::string& path) override {
    const int fd = path == "-" ? ::dup(STDIN_FILENO) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      openError = errno;
      return nullptr;
    }
    counts = std::make_shared<ReadCounts>();
    return std::make_unique<CountingStream>(fd, counts);
  }
  std::shared_ptr<ReadCounts> counts;  // none until the trail is open
  int openError = 0;
};

constexpr const char* kUsage =
    "usage: procscope-replay [--live] FILE\n"
    "       procscope-replay --capture FILE\n"
    "       procscope-replay --help | --version\n"
    "\n"
    "Runs the process monitor over a recorded BSM audit trail (FILE \"-\" reads\n"
    "standard input) and prints each Process it delivers, as the procblock agent\n"
    "would receive it: \"type: N\" and the record's description. N is the audit\n"
    "event: 1 exit, 2 fork, 7 exec, 23 execve, 43190 posix_spawn, 0 an\n"
    "application launch. A last line on standard error counts the records read,\n"
    "those skipped as malformed and the bytes outside any record; the exit\n"
    "status is 1 when the input held no valid record.\n"
    "\n"
    "A trail names processes of the machine it was recorded on, so every\n"
    "live-process query answers \"no such process\" unless --live is given.\n"
    "\n"
    "  --live          consult this machine's processes\n"
    "  --capture FILE  (root) record this machine's process events to FILE, as\n"
    "                  the monitor reads them, until SIGINT or SIGTERM\n"
    "  -h, --help      show this help and exit\n"
    "  --version       show the version and exit\n";

int usage() {
  std::fputs(kUsage, stderr);
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
    if (argc == 2 && (arg == "--help" || arg == "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argc == 2 && arg == "--version") {
      std::puts("procscope-replay " PROCBLOCK_VERSION);
      return 0;
    }
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
  auto layer = std::make_shared<ReplayLayer>();
  platform::AuditPipes::install(layer);

  // As the agent runs it: no signing information, no icons.
  auto monitor = procscope::ProcScope::init(true);
  monitor->setPipePath(file);
  monitor->setStopWhenInputExhausted(true);
  std::uint64_t delivered = 0;
  monitor->setProcessCallback([&delivered](const std::shared_ptr<procscope::Process>& process) {
    ++delivered;
    print(process);
  });
  monitor->monitor();

  const std::shared_ptr<ReadCounts> stream = layer->counts;
  if (stream == nullptr) {
    std::fprintf(stderr, "procscope-replay: cannot read %s: %s\n", file.c_str(),
                 std::strerror(layer->openError));
    return 1;
  }
  if (stream->readError != 0) {
    std::fprintf(stderr, "procscope-replay: cannot read %s: %s\n", file.c_str(),
                 std::strerror(stream->readError));
  }
  const bool flushed = std::fflush(stdout) == 0;
  std::fprintf(stderr,
               "procscope-replay: %llu records read, %llu processes delivered, %llu malformed "
               "records skipped, %llu bytes outside any record\n",
               static_cast<unsigned long long>(stream->records),
               static_cast<unsigned long long>(delivered),
               static_cast<unsigned long long>(stream->malformed),
               static_cast<unsigned long long>(stream->totalBytes - stream->recordBytes));
  return flushed && stream->records > 0 ? 0 : 1;
}
