#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "BsmTestData.hpp"
#include "procscope/bsm/Reader.hpp"
#include "procscope/bsm/Token.hpp"

namespace procscope::bsm {
namespace {

using testing::fromHex;
using testing::readVector;

// The fields the monitor takes from a record, gathered by a token walk.
struct Decoded {
  bool walkedToEnd = false;
  std::uint16_t event = 0;
  std::uint8_t version = 0;
  std::uint32_t euid = 0, pid = 0;
  std::uint64_t argVal = 0;
  std::string argText;
  std::string path;
  std::vector<std::string> args;
  std::uint32_t exitStatus = 0xffffffff;
  int returnStatus = -1;
  std::uint64_t returnValue = 0;
  std::vector<std::uint32_t> lengths;
  std::vector<std::uint8_t> ids;
};

Decoded decode(const std::uint8_t* data, std::size_t size) {
  Decoded d;
  Token t;
  TokenCursor cursor(data, size);
  while (cursor.next(t)) {
    d.ids.push_back(t.id);
    d.lengths.push_back(t.len);
    switch (t.id) {
      case AUT_HEADER32:
      case AUT_HEADER32_EX:
      case AUT_HEADER64:
      case AUT_HEADER64_EX:
        d.event = t.header.e_type;
        d.version = t.header.version;
        break;
      case AUT_SUBJECT32:
      case AUT_SUBJECT64:
      case AUT_SUBJECT32_EX:
      case AUT_SUBJECT64_EX:
        d.euid = t.subject.euid;
        d.pid = t.subject.pid;
        break;
      case AUT_ARG32:
      case AUT_ARG64:
        d.argVal = t.arg.val;
        d.argText = t.arg.text;
        break;
      case AUT_PATH:
        d.path = t.path.path;
        break;
      case AUT_EXEC_ARGS:
        for (std::uint32_t i = 0; i < t.execArgs.count; ++i)
          d.args.emplace_back(t.execArgs.text[i]);
        break;
      case AUT_EXIT:
        d.exitStatus = t.exit.status;
        break;
      case AUT_RETURN32:
      case AUT_RETURN64:
        d.returnStatus = t.ret.status;
        d.returnValue = t.ret.ret;
        break;
    }
  }
  d.walkedToEnd = !cursor.failed() && cursor.offset() == size;
  return d;
}

// A read stream over `bytes` (which must outlive it).
std::FILE* streamOver(std::vector<std::uint8_t>& bytes) {
  return fmemopen(bytes.data(), bytes.size(), "rb");
}

std::vector<std::string> recordFiles() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(testing::vectorPath(""))) {
    const std::string name = entry.path().filename().string();
    if (name.find("_record") != std::string::npos) names.push_back(name);
  }
  return names;
}

TEST(RecordVectors, EachReadsAsOneRecordWhoseTokensAddUp) {
  const auto names = recordFiles();
  ASSERT_EQ(names.size(), 61u);
  std::vector<std::uint8_t> buffer;
  for (const std::string& name : names) {
    std::FILE* f = std::fopen(testing::vectorPath(name).c_str(), "rb");
    ASSERT_NE(f, nullptr) << name;
    const auto size =
        static_cast<std::int64_t>(std::filesystem::file_size(testing::vectorPath(name)));
    EXPECT_EQ(readRecord(f, buffer), size) << name;
    EXPECT_EQ(readRecord(f, buffer), -1) << name;
    EXPECT_TRUE(std::feof(f)) << name;
    std::fclose(f);

    const auto bytes = readVector(name);
    const Decoded d = decode(bytes.data(), bytes.size());
    EXPECT_TRUE(d.walkedToEnd) << name;
    ASSERT_GE(d.ids.size(), 2u) << name;
    EXPECT_EQ(d.ids.front(), AUT_HEADER32) << name;
    EXPECT_EQ(d.ids.back(), AUT_TRAILER) << name;
    Token trailer;
    ASSERT_EQ(fetchToken(trailer, bytes.data() + bytes.size() - 7, 7), 0) << name;
    EXPECT_EQ(trailer.trailer.magic, 0xb105) << name;
    EXPECT_EQ(trailer.trailer.count, bytes.size()) << name;
  }
}

TEST(RecordVectors, ProcessEventRecordsDecode) {
  auto d = decode(readVector("execve_record").data(), 110);
  ASSERT_TRUE(d.walkedToEnd);
  EXPECT_EQ(d.event, AUE_EXECVE);
  EXPECT_EQ(d.args, (std::vector<std::string>{"/bin/echo", "hello", "", "w\xc3\xb6rld"}));
  EXPECT_EQ(d.path, "/bin/echo");
  EXPECT_EQ(d.pid, 4242u);
  EXPECT_EQ(d.euid, 1001u);
  EXPECT_EQ(d.returnStatus, 0);
  EXPECT_EQ(d.returnValue, 0u);

  d = decode(readVector("fork_record").data(), 86);
  ASSERT_TRUE(d.walkedToEnd);
  EXPECT_EQ(d.event, AUE_FORK);
  EXPECT_EQ(d.argVal, 4243u);
  EXPECT_EQ(d.argText, "child PID");
  EXPECT_EQ(d.pid, 4242u);
  EXPECT_EQ(d.returnStatus, 0);
  EXPECT_EQ(d.returnValue, 4243u);
  EXPECT_TRUE(d.args.empty());

  d = decode(readVector("posix_spawn_record").data(), 137);
  ASSERT_TRUE(d.walkedToEnd);
  EXPECT_EQ(d.event, AUE_POSIX_SPAWN);
  EXPECT_EQ(d.argVal, 4244u);
  EXPECT_EQ(d.pid, 4242u);
  EXPECT_EQ(d.path, "/usr/bin/env");
  EXPECT_EQ(d.args, (std::vector<std::string>{"/usr/bin/env", "-i", "/usr/bin/true"}));
  EXPECT_EQ(d.returnStatus, 0);

  d = decode(readVector("exit_record").data(), 77);
  ASSERT_TRUE(d.walkedToEnd);
  EXPECT_EQ(d.event, AUE_EXIT);
  EXPECT_EQ(d.pid, 4243u);
  EXPECT_EQ(d.euid, 1001u);
  EXPECT_EQ(d.exitStatus, 9u);
  EXPECT_EQ(d.returnStatus, 0);

  // A real kernel's execve: exec arguments before the path, attr32 and subject.
  const auto real = readVector("execve_long_args_record");
  d = decode(real.data(), real.size());
  ASSERT_TRUE(d.walkedToEnd);
  EXPECT_EQ(d.version, 10);
  EXPECT_EQ(d.event, AUE_EXECVE);
  EXPECT_EQ(d.args.size(), 50u);
  EXPECT_EQ(d.path, "/usr/bin/grep");
  EXPECT_EQ(d.lengths, (std::vector<std::uint32_t>{18, 600, 17, 29, 37, 6, 7}));
}

TEST(RecordReader, ReadsAStreamOfRecordsAndFileTokensIntoOneBuffer) {
  std::vector<std::uint8_t> stream = readVector("file_token");
  const std::vector<std::string> parts = {"execve_long_args_record", "fork_record",
                                          "execve_record"};
  std::vector<std::size_t> sizes = {stream.size()};
  for (const auto& name : parts) {
    const auto bytes = readVector(name);
    sizes.push_back(bytes.size());
    stream.insert(stream.end(), bytes.begin(), bytes.end());
  }
  std::FILE* f = streamOver(stream);
  ASSERT_NE(f, nullptr);
  std::vector<std::uint8_t> buffer;
  const std::uint8_t* data = nullptr;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    ASSERT_EQ(readRecord(f, buffer), static_cast<std::int64_t>(sizes[i])) << i;
    EXPECT_EQ(buffer.size(), sizes[i]);
    if (i == 2) {
      EXPECT_EQ(buffer.data(), data) << "buffer reused";
    }
    data = buffer.data();
  }
  EXPECT_EQ(decode(buffer.data(), buffer.size()).event, AUE_EXECVE);
  EXPECT_EQ(readRecord(f, buffer), -1);
  std::fclose(f);
}

TEST(RecordReader, FailuresLeaveTheStreamWhereTheyHappened) {
  struct Case {
    const char* what;
    std::string hex;
    long consumed;
  };
  const Case cases[] = {
      {"empty", "", 0},
      {"trailer first", "13b1050000005a", 1},
      {"zero byte first", "00", 1},
      {"short size", "140000", 3},
      {"size below 5", "1400000004", 5},
      {"size of gigabytes", "14ffffffff0b", 5},
      {"size just above the bound", "1400100001", 5},
      {"short body", "140000005a0b001700006553f1", 13},
      {"short file token prefix", "1100000000000000", 8},
      {"short file name", "110000000000000000000561", 12},
  };
  for (const Case& c : cases) {
    const auto bytes = fromHex(c.hex);
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr) << c.what;
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
    std::vector<std::uint8_t> buffer;
    EXPECT_EQ(readRecord(f, buffer), -1) << c.what;
    EXPECT_EQ(std::ftell(f), c.consumed) << c.what;
    EXPECT_LT(buffer.capacity(), kMaxRecordSize) << c.what;
    std::fclose(f);
  }
}

TEST(RecordReader, ACallerBoundAndAGoodRecordAfterGarbage) {
  auto stream = fromHex("00");
  const auto record = readVector("execve_record");
  stream.insert(stream.end(), record.begin(), record.end());
  std::FILE* f = streamOver(stream);
  std::vector<std::uint8_t> buffer;
  EXPECT_EQ(readRecord(f, buffer), -1);
  EXPECT_EQ(readRecord(f, buffer, 109), -1);  // 110 bytes claimed, 109 allowed
  std::rewind(f);
  std::fgetc(f);
  EXPECT_EQ(readRecord(f, buffer, 110), 110);
  std::fclose(f);
}

TEST(RecordFraming, RecordLengthFromBytesInMemory) {
  struct Case {
    const char* what;
    std::string hex;
    std::int64_t expected;
  };
  const Case cases[] = {
      {"nothing", "", 0},
      {"header id only", "14", 0},
      {"header32 prefix", "140000005a", 90},
      {"header32_ex", "150000002a", 42},
      {"header64", "7400000021", 33},
      {"header64_ex", "7900000030", 48},
      {"size below 5", "1400000004", -1},
      {"size of gigabytes", "14ffffffff", -1},
      {"not a header", "2400000010", -1},
      {"trailer", "13b1050000", -1},
      {"file token prefix short", "110000000000000000", 0},
      {"file token", "1100000000000000000005", 16},
  };
  for (const Case& c : cases) {
    const auto bytes = fromHex(c.hex);
    EXPECT_EQ(recordLength(bytes.data(), bytes.size()), c.expected) << c.what;
  }
  const auto record = readVector("fork_record");
  EXPECT_EQ(recordLength(record.data(), record.size(), 85), -1);
}

TEST(RecordReader, GarbageStreamsEndWithoutHarm) {
  std::uint32_t state = 99;
  std::vector<std::uint8_t> stream(std::size_t{64} * 1024);
  for (std::size_t i = 0; i < stream.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    // Mostly header ids and small sizes, so that records do get framed.
    const auto r = static_cast<std::uint8_t>(state >> 24);
    stream[i] = (i % 37 == 0) ? AUT_HEADER32 : (i % 37 < 3 ? 0 : r);
  }
  std::FILE* f = streamOver(stream);
  std::vector<std::uint8_t> buffer;
  int framed = 0;
  while (!std::feof(f)) {
    const std::int64_t n = readRecord(f, buffer);
    if (n > 0) {
      ++framed;
      ASSERT_EQ(static_cast<std::size_t>(n), buffer.size());
      const std::vector<std::uint8_t> exact(buffer.begin(), buffer.end());
      decode(exact.data(), exact.size());
    }
  }
  EXPECT_GT(framed, 0);
  std::fclose(f);
}

}  // namespace
}  // namespace procscope::bsm
