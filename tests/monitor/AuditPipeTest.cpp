// The default pipe layer: recorded files and FIFOs replayed through the loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "exec/ExecFixture.hpp"
#include "monitor/MonitorFixture.hpp"

namespace monitortest {
namespace {

class AuditPipeTest : public ::testing::Test {
 protected:
  // A file of the records one after the other.
  std::string write(const std::string& name, const std::vector<Bytes>& items) {
    std::string bytes;
    for (const Bytes& b : items) bytes.append(b.begin(), b.end());
    test::writeFile(tmp / name, bytes);
    return tmp / name;
  }
  // Runs the monitor over `path` to its end.
  Delivered replay(const std::string& path) {
    monitor->setPipePath(path);
    return runMonitor(*monitor);
  }

  test::TempDir tmp;
  std::shared_ptr<ProcScope> monitor = ProcScope::init();
  ScopedService<platform::KernelQueries> kernel{std::make_shared<FakeKernel>()};
  ScopedService<platform::AuditPipeLayer> pipe{platform::makeAuditPipeLayer(nullptr)};
};

TEST_F(AuditPipeTest, RecordedFileReplaysUntilExhausted) {
  // A trail file as written: file tokens around the records, and a stray
  // byte that the reader must get past.
  auto start = bsm::encodeFileToken({1700000000, 0}, "trail");
  auto got = replay(write("trail", {start, exitRecord(10, 0), {0x00}, exitRecord(11, 1), start}));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]->pid(), 10);
  EXPECT_EQ(got[1]->pid(), 11);
  EXPECT_TRUE(monitor->shouldStop());

  // Drained stays drained.
  auto stream = platform::openRecordedAuditStream(write("one", {exitRecord(10, 0)}));
  ASSERT_TRUE(stream);
  Bytes buffer;
  EXPECT_GT(stream->readRecord(buffer), 0);
  EXPECT_FALSE(stream->exhausted());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(stream->readRecord(buffer), -1);
    EXPECT_TRUE(stream->exhausted());
  }
}

TEST_F(AuditPipeTest, WhatCannotBeOpened) {
  auto layer = platform::makeAuditPipeLayer(nullptr);
  EXPECT_FALSE(layer->open(tmp / "missing"));
  EXPECT_FALSE(layer->open("/dev/auditpipe"));  // no live source plugged in

  // A directory opens but reads fail for good: drained, not spinning.
  if (auto stream = layer->open(tmp.path())) {
    Bytes buffer;
    EXPECT_EQ(stream->readRecord(buffer), -1);
    EXPECT_TRUE(stream->exhausted());
  }
  EXPECT_TRUE(replay(tmp / "missing").empty());
}

TEST_F(AuditPipeTest, LivePathGoesToThePluggedSource) {
  std::string recorded = write("live", {exitRecord(12, 0)});
  int opened = 0;
  ScopedService<platform::AuditPipeLayer> live(platform::makeAuditPipeLayer([&] {
    ++opened;
    return platform::openRecordedAuditStream(recorded);
  }));
  auto got = replay(platform::kAuditPipePath);
  EXPECT_EQ(opened, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->pid(), 12);
}

TEST_F(AuditPipeTest, FifoIsReadUntilItsWriterCloses) {
  std::string path = tmp / "fifo";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  std::thread writer([&] {
    int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0) return;
    for (std::uint32_t pid = 100; pid < 200; ++pid) {
      Bytes r = exitRecord(pid, 0);
      if (::write(fd, r.data(), r.size()) != static_cast<ssize_t>(r.size())) break;
    }
    ::close(fd);
  });
  auto got = replay(path);
  writer.join();
  ASSERT_EQ(got.size(), 100u);
  EXPECT_EQ(got.back()->pid(), 199);
}

TEST_F(AuditPipeTest, DrainedInputWaitsForStopInstead) {
  // A drained input is read once; the loop then sleeps, neither reading again
  // (spinning) nor returning, until it is told to stop.
  auto layer = std::make_shared<ScriptedLayer>(std::vector<Bytes>{});
  ScopedService<platform::AuditPipeLayer> scripted(layer);
  std::atomic<bool> returned{false};
  std::thread loop([&] {
    monitor->setProcessCallback([](const std::shared_ptr<Process>&) {});
    monitor->monitor();
    returned = true;
  });
  while (layer->script->readCount.load() == 0) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room to spin, if it would
  EXPECT_EQ(layer->script->readCount.load(), 1);
  EXPECT_FALSE(returned);
  monitor->setShouldStop(true);
  loop.join();
  EXPECT_TRUE(returned);
}

}  // namespace
}  // namespace monitortest
