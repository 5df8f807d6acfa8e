// Fuzz target: BSM input, as the audit stream hands it to the monitor. One
// input is read three ways:
//   1. as one run of tokens, walked with a TokenCursor;
//   2. as a stream of records, framed in memory (recordLength) and read with
//      the stdio reader (readRecord), every record walked;
//   3. by ProcScope::monitor() through a fake audit pipe that yields the whole
//      input as one record, then each record the stdio reader frames in it,
//      with a kernel that knows no process (nothing touches /proc) and a
//      bundle layer that finds no bundle.
// Every walk checks what Token.hpp promises: each token advances, stays inside
// the record, and its string bodies point into the record.
// Seeds: corpus/bsm-record (records the encoder makes) and tests/data/bsm.
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.hpp"
#include "procscope/ProcessMonitor.hpp"
#include "procscope/bsm/Reader.hpp"
#include "procscope/bsm/Token.hpp"
#include "procscope/platform/AuditPipe.hpp"
#include "procscope/platform/Bundle.hpp"
#include "procscope/platform/Kernel.hpp"

namespace {

namespace bsm = procscope::bsm;
namespace platform = procscope::platform;
using fuzzsupport::inside;
using fuzzsupport::require;
using Bytes = std::vector<std::uint8_t>;

void checkBodies(const bsm::Token& token, const Bytes& record) {
  auto within = [&](std::string_view piece) { return inside(piece, record.data(), record.size()); };
  switch (token.id) {
    case bsm::AUT_PATH:
      require(within(token.path.path), "path body outside the record");
      break;
    case bsm::AUT_ARG32:
    case bsm::AUT_ARG64:
      require(within(token.arg.text), "argument text outside the record");
      break;
    case bsm::AUT_EXEC_ARGS:
    case bsm::AUT_EXEC_ENV:
      require(token.execArgs.count <= bsm::kMaxExecArgs,
              "more strings kept than there is room for");
      require(token.execArgs.count <= token.execArgs.total, "more strings kept than announced");
      for (std::uint32_t i = 0; i < token.execArgs.count; ++i) {
        require(within(token.execArgs.text[i]), "exec string outside the record");
      }
      break;
    case bsm::AUT_FILE:
      require(within(token.file.name), "file name outside the record");
      break;
    case bsm::AUT_TEXT:
    case bsm::AUT_ZONENAME:
    case bsm::AUT_OPAQUE:
      require(within(token.text.text), "text body outside the record");
      break;
    default:
      break;
  }
}

// Walks `record`, an exact-size copy, so that a read past its end is caught.
void walk(const Bytes& record) {
  bsm::Token token;
  bsm::TokenCursor cursor(record.data(), record.size());
  std::size_t before = 0;
  while (cursor.next(token)) {
    require(token.len > 0, "a token of length 0");
    require(token.len <= record.size() - before, "a token longer than the bytes left");
    require(cursor.offset() == before + token.len, "the cursor moved by other than the length");
    checkBodies(token, record);
    before = cursor.offset();
  }
  require(cursor.offset() <= record.size(), "the cursor ran past the record");
}

// The records the stdio reader frames in `data`, read on past failures as the
// recorded audit stream does, until the end.
std::vector<Bytes> readRecords(const std::uint8_t* data, std::size_t size) {
  std::vector<Bytes> records;
  if (size == 0) return records;
  std::FILE* f = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (f == nullptr) return records;
  Bytes buffer;
  while (!std::feof(f) && !std::ferror(f)) {
    const std::int64_t n = bsm::readRecord(f, buffer);
    if (n <= 0) continue;
    require(static_cast<std::size_t>(n) == buffer.size(), "record length and buffer size differ");
    records.emplace_back(buffer.begin(), buffer.end());
  }
  std::fclose(f);
  return records;
}

void frameInMemory(const std::uint8_t* data, std::size_t size) {
  std::size_t offset = 0;
  while (offset < size) {
    const std::int64_t n = bsm::recordLength(data + offset, size - offset);
    if (n <= 0 || static_cast<std::size_t>(n) > size - offset) break;
    walk(Bytes(data + offset, data + offset + n));
    offset += static_cast<std::size_t>(n);
  }
}

// The first item, framed both ways, is the same.
void compareFramings(const std::uint8_t* data, std::size_t size,
                     const std::vector<Bytes>& streamed) {
  const std::int64_t n = bsm::recordLength(data, size);
  if (n <= 0 || static_cast<std::size_t>(n) > size) return;
  require(!streamed.empty(), "a whole first item the stdio reader missed");
  require(streamed.front() == Bytes(data, data + n), "the two framings disagree on the first item");
}

// ---- The monitor over a fake pipe ----

class QueuedStream final : public platform::AuditStream {
 public:
  explicit QueuedStream(std::deque<Bytes> records) : records_(std::move(records)) {}

  int setPreselectMode(int) override { return 0; }
  int getQueueLimitMax(std::uint32_t& limit) override {
    limit = 1024;
    return 0;
  }
  int setQueueLimit(std::uint32_t) override { return 0; }
  int setPreselectFlags(std::uint32_t, std::uint32_t) override { return 0; }
  int setPreselectNaFlags(std::uint32_t, std::uint32_t) override { return 0; }

  std::int64_t readRecord(Bytes& buffer) override {
    if (records_.empty()) {
      exhausted_ = true;
      return -1;
    }
    // A fresh vector of exactly the record's size, so that the monitor's
    // reused buffer has no spare capacity where a read past the end would
    // go unnoticed.
    buffer = Bytes(records_.front());
    records_.pop_front();
    return static_cast<std::int64_t>(buffer.size());
  }
  bool exhausted() const override { return exhausted_; }

 private:
  std::deque<Bytes> records_;
  bool exhausted_ = false;
};

class QueuedPipes final : public platform::AuditPipeLayer {
 public:
  explicit QueuedPipes(std::deque<Bytes> records) : records_(std::move(records)) {}
  std::unique_ptr<platform::AuditStream> open(const std::string&) override {
    return std::make_unique<QueuedStream>(std::move(records_));
  }

 private:
  std::deque<Bytes> records_;
};

class NoBundles final : public platform::BundleLayer {
 public:
  std::shared_ptr<const platform::Bundle> bundleWithPath(const std::string&) override {
    return nullptr;
  }
};

void runMonitor(std::deque<Bytes> records) {
  platform::ScopedService<platform::AuditPipeLayer> pipes(
      std::make_shared<QueuedPipes>(std::move(records)));
  platform::ScopedService<platform::KernelQueries> kernel(platform::makeAbsentKernel());
  platform::ScopedService<platform::BundleLayer> bundles(std::make_shared<NoBundles>());

  // goEasy: no signing information and no icons, so nothing but the
  // Binary's own file look-ups leaves the process.
  auto monitor = procscope::ProcScope::init(true);
  monitor->setStopWhenInputExhausted(true);
  std::size_t delivered = 0;
  monitor->setProcessCallback([&delivered](const std::shared_ptr<procscope::Process>& process) {
    delivered += process->description().size();
  });
  monitor->monitor();
  require(monitor->shouldStop(), "the monitor returned before its input was drained");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes whole(data, data + size);
  walk(whole);
  frameInMemory(data, size);
  std::vector<Bytes> streamed = readRecords(data, size);
  for (const Bytes& record : streamed) walk(record);
  compareFramings(data, size, streamed);

  std::deque<Bytes> records;
  if (size > 0) records.push_back(whole);
  for (Bytes& record : streamed) records.push_back(std::move(record));
  runMonitor(std::move(records));
  return 0;
}
