// verdict-bench: the verdict's cost per event against the list size. One
// iteration hands one process start to the callback and waits until every
// task it queued has run, so the figure is the callback plus its tasks.
// Lists of 10 to 10,000 unrelated entries, with none or one of them naming
// the process (its blocks reported one by one only within the budget of
// reports, then counted). Nothing is signalled (the kill only counts), notices are only
// counted, and the access log goes to a temporary directory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "procblock/BlockList.hpp"
#include "procblock/LogPaths.hpp"
#include "procblock/Verdict.hpp"
#include "procblock/platform/Journal.hpp"
#include "procblock/platform/Notice.hpp"
#include "procscope/Dispatch.hpp"
#include "procscope/Process.hpp"
#include "procscope/platform/Service.hpp"

namespace {

constexpr std::int32_t kFakePid = 4242;  // never signalled: the kill only counts

class CountingNotices final : public procblock::platform::NoticeLayer {
 public:
  void post(const procblock::platform::Notice&) override { posted.fetch_add(1); }
  std::atomic<std::int64_t> posted{0};
};

// The machine's journal is not the bench's to fill.
class NoJournal final : public procblock::platform::JournalLayer {
 public:
  void send(const std::vector<std::string>&) override {}
};

std::shared_ptr<procscope::Process> makeRecord() {
  auto process = procscope::Process::init();
  process->setPid(kFakePid);
  process->setPath("/opt/forbidden/bin/pbverdict");
  auto binary = std::make_shared<procscope::Binary>();
  binary->setPath("/opt/forbidden/bin/pbverdict");
  binary->setName("pbverdict");
  process->setBinary(binary);
  return process;
}

// `size` entries like the names and paths an administrator lists; with
// `matching`, the one in the middle names the record.
procblock::BlockList makeList(std::int64_t size, bool matching) {
  procblock::BlockList list;
  for (std::int64_t i = 0; i < size; ++i) {
    std::string entry =
        i % 2 ? "/usr/local/bin/tool-" + std::to_string(i) : "com.example.app" + std::to_string(i);
    list.push_back(std::move(entry));
  }
  if (matching) list[static_cast<std::size_t>(size / 2)] = "pbverdict";
  return list;
}

class TempLogs {
 public:
  TempLogs() {
    char name[] = "/tmp/verdict-bench-XXXXXX";
    path_ = ::mkdtemp(name) ? name : "/nonexistent";
    std::ofstream(path_ + "/vornikaccess.log");
  }
  ~TempLogs() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The diagnostic lines go to standard error; they are sent to /dev/null
// while the loop runs so that the terminal is not part of the figure.
class QuietStderr {
 public:
  QuietStderr() : saved_(::dup(2)) {
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, 2);
    ::close(null);
  }
  ~QuietStderr() {
    ::dup2(saved_, 2);
    ::close(saved_);
  }

 private:
  int saved_;
};

void BM_Verdict(benchmark::State& state) {
  const std::int64_t size = state.range(0);
  const bool matching = state.range(1) != 0;
  TempLogs logs;
  procblock::ScopedLogDirectory logDirectory(logs.path());
  auto notices = std::make_shared<CountingNotices>();
  procscope::platform::ScopedService<procblock::platform::NoticeLayer> noticeLayer(notices);
  procscope::platform::ScopedService<procblock::platform::JournalLayer> journalLayer(
      std::make_shared<NoJournal>());
  std::atomic<std::int64_t> kills{0};
  const procscope::ProcessCallback verdict =
      procblock::makeBlock([&kills](const procscope::Process&) {
        kills.fetch_add(1);
        return procblock::KillResult::SignalledGroup;
      });
  procblock::setItems(makeList(size, matching));
  const auto process = makeRecord();
  // Anything built once per list (an index, a cache) is built here.
  verdict(process);
  procscope::dispatch::waitIdle();
  kills = 0;
  notices->posted = 0;

  {
    QuietStderr quiet;
    for (auto _ : state) {
      verdict(process);
      procscope::dispatch::waitIdle();
    }
  }
  procblock::setItems(std::nullopt);

  // Past the budget of reports, blocks are counted for a summary instead of
  // reported one by one (no row, no notice): with a match, the figure is
  // mostly that of the counted block, which is what a flood of starts costs.
  const std::int64_t expected = matching ? state.iterations() : 0;
  if (kills.load() != expected || notices->posted.load() > expected) {
    state.SkipWithError("wrong number of kills or notices");
  }
  state.counters["reported"] = static_cast<double>(notices->posted.load());
}

BENCHMARK(BM_Verdict)
    ->ArgNames({"entries", "match"})
    ->ArgsProduct({{10, 100, 1000, 10000}, {0, 1}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
