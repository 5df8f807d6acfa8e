// The live source when the monitor stops reading: what is dropped is reported
// as a certain loss, once when the drops begin and once, with their number,
// when records flow again, never a line per record.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "procscope/platform/LiveAuditPipe.hpp"
#include "support/Capture.hpp"

using namespace std::chrono_literals;
using procscope::platform::openLiveAuditPipe;
using procscope::platform::setLiveLossHandler;

namespace {

void runTrue() {
  pid_t pid = -1;
  char* argv[] = {const_cast<char*>("true"), nullptr};
  if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0) return;
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(LiveAuditPipe, FullQueueIsACertainLossReportedPerBurst) {
  if (geteuid() != 0) GTEST_SKIP() << "the process-events connector needs root";
  std::mutex mu;
  std::vector<std::pair<std::uint64_t, bool>> calls;
  auto callsSoFar = [&] {
    std::lock_guard lock(mu);
    return calls;
  };
  auto waitForCalls = [&](std::size_t n) {
    for (int i = 0; i < 500 && callsSoFar().size() < n; ++i) {
      runTrue();
      std::this_thread::sleep_for(10ms);
    }
  };
  setLiveLossHandler([&](std::uint64_t lost, bool certain) {
    std::lock_guard lock(mu);
    calls.emplace_back(lost, certain);
  });
  test::StderrCapture capture;
  {
    auto stream = openLiveAuditPipe();
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->setQueueLimit(1), 0);
    for (int i = 0; i < 5; ++i) runTrue();  // three events each, one record fits
    waitForCalls(1);
    std::vector<std::uint8_t> record;
    EXPECT_GT(stream->readRecord(record), 0);  // room again: the next record ends the burst
    waitForCalls(2);
  }
  setLiveLossHandler(nullptr);
  const std::string log = capture.take();

  const auto seen = callsSoFar();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_pair(std::uint64_t{1}, true));
  EXPECT_TRUE(seen[1].second);
  EXPECT_GE(seen[1].first, 5u);
  // A line per burst (one more may have begun as the stream closed).
  const std::size_t begun = count(log, "records are being dropped");
  EXPECT_GE(begun, 1u);
  EXPECT_LE(begun, seen.size() / 2 + 1);
  EXPECT_GE(count(log, "records were dropped while the monitor was behind"), 1u);
}
