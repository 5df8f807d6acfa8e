// The default pipe layer: recorded files and FIFOs replayed through the loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "monitor/MonitorFixture.hpp"

namespace monitortest {
namespace {

namespace bsm = procscope::bsm;
namespace platform = procscope::platform;
using platform::ScopedService;

Bytes exitRecord(std::uint32_t pid, std::uint32_t status) {
  return bsm::RecordBuilder(bsm::AUE_EXIT).subject32(subject(pid, 0)).exit(status, 0).finish();
}

class AuditPipeTest : public ::testing::Test {
 protected:
  AuditPipeTest() {
    char tmpl[] = "/tmp/procscope-pipe-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  ~AuditPipeTest() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const std::vector<Bytes>& items) {
    std::string path = dir_ + "/" + name;
    std::ofstream out(path, std::ios::binary);
    for (const Bytes& b : items) out.write(reinterpret_cast<const char*>(b.data()), b.size());
    return path;
  }

  std::string dir_;
  ScopedService<platform::KernelQueries> kernel{std::make_shared<FakeKernel>()};
  ScopedService<platform::AuditPipeLayer> pipe{platform::makeAuditPipeLayer(nullptr)};
};

TEST_F(AuditPipeTest, RecordedFileReplaysUntilExhausted) {
  // A trail file as written: file tokens around the records, and a stray
  // byte that the reader must get past.
  auto start = bsm::encodeFileToken({1700000000, 0}, "trail");
  std::string path = write("trail", {start, exitRecord(10, 0), {0x00}, exitRecord(11, 1), start});
  auto monitor = ProcScope::init();
  monitor->setPipePath(path);
  auto got = runMonitor(*monitor);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]->pid(), 10);
  EXPECT_EQ(got[1]->pid(), 11);
  EXPECT_TRUE(monitor->shouldStop());
}

TEST_F(AuditPipeTest, RecordedStreamAcceptsConfigurationAndStaysExhausted) {
  auto stream = platform::openRecordedAuditStream(write("one", {exitRecord(10, 0)}));
  ASSERT_TRUE(stream);
  std::uint32_t limit = 0;
  EXPECT_EQ(stream->setPreselectMode(2), 0);
  EXPECT_EQ(stream->getQueueLimitMax(limit), 0);
  EXPECT_GT(limit, 0u);
  EXPECT_EQ(stream->setQueueLimit(limit), 0);
  EXPECT_EQ(stream->setPreselectFlags(1, 1), 0);
  EXPECT_EQ(stream->setPreselectNaFlags(1, 1), 0);
  Bytes buffer;
  EXPECT_GT(stream->readRecord(buffer), 0);
  EXPECT_FALSE(stream->exhausted());
  EXPECT_EQ(stream->readRecord(buffer), -1);
  EXPECT_TRUE(stream->exhausted());
  EXPECT_EQ(stream->readRecord(buffer), -1);
  EXPECT_TRUE(stream->exhausted());
}

TEST_F(AuditPipeTest, WhatCannotBeOpened) {
  auto layer = platform::makeAuditPipeLayer(nullptr);
  EXPECT_FALSE(layer->open(dir_ + "/missing"));
  EXPECT_FALSE(layer->open("/dev/auditpipe"));  // no live source plugged in

  // A directory opens but reads fail for good: drained, not spinning.
  auto stream = layer->open(dir_);
  if (stream) {
    Bytes buffer;
    EXPECT_EQ(stream->readRecord(buffer), -1);
    EXPECT_TRUE(stream->exhausted());
  }

  auto monitor = ProcScope::init();
  monitor->setPipePath(dir_ + "/missing");
  EXPECT_TRUE(runMonitor(*monitor).empty());
}

TEST_F(AuditPipeTest, LivePathGoesToThePluggedSource) {
  std::string recorded = write("live", {exitRecord(12, 0)});
  int opened = 0;
  ScopedService<platform::AuditPipeLayer> live(platform::makeAuditPipeLayer([&] {
    ++opened;
    return platform::openRecordedAuditStream(recorded);
  }));
  auto monitor = ProcScope::init();
  auto got = runMonitor(*monitor);
  EXPECT_EQ(opened, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->pid(), 12);
}

TEST_F(AuditPipeTest, FifoIsReadUntilItsWriterCloses) {
  std::string path = dir_ + "/fifo";
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
  auto monitor = ProcScope::init();
  monitor->setPipePath(path);
  auto got = runMonitor(*monitor);
  writer.join();
  ASSERT_EQ(got.size(), 100u);
  EXPECT_EQ(got.back()->pid(), 199);
}

TEST_F(AuditPipeTest, DrainedInputWaitsForStopInstead) {
  auto monitor = ProcScope::init();
  monitor->setPipePath(write("empty", {}));
  std::atomic<bool> returned{false};
  std::thread loop([&] {
    monitor->setProcessCallback([](const std::shared_ptr<Process>&) {});
    monitor->monitor();
    returned = true;
  });
  // Whether or not the loop has reached its wait yet, a stop ends it.
  monitor->setShouldStop(true);
  loop.join();
  EXPECT_TRUE(returned);
}

}  // namespace
}  // namespace monitortest
