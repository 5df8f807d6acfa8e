// Framing records out of a stream or a buffer.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "BsmTestData.hpp"
#include "procscope/bsm/Reader.hpp"
#include "procscope/bsm/Token.hpp"

namespace procscope::bsm {
namespace {

using testing::fromHex;
using testing::readVector;
using Bytes = std::vector<std::uint8_t>;
using Walk = std::vector<std::pair<int, std::uint32_t>>;  // (id, length) per token

// The tokens of `bytes`, walked from an exact-size copy; `whole` tells
// whether the walk reached the end without a failure.
Walk walk(const Bytes& bytes, bool& whole) {
  const Bytes copy(bytes);
  Walk tokens;
  Token t;
  TokenCursor cursor(copy.data(), copy.size());
  while (cursor.next(t)) tokens.emplace_back(t.id, t.len);
  whole = !cursor.failed() && cursor.offset() == copy.size();
  return tokens;
}

// A stream over `bytes`, which must outlive it.
std::FILE* streamOver(Bytes& bytes) {
  return fmemopen(bytes.data(), bytes.size(), "rb");
}

TEST(RecordVectors, EachReadsAsOneRecordWhoseTokensAddUp) {
  const auto names = testing::vectorNames("_record");
  ASSERT_EQ(names.size(), 61u);
  Bytes buffer;
  for (const std::string& name : names) {
    const auto bytes = readVector(name);
    std::FILE* f = std::fopen(testing::vectorPath(name).c_str(), "rb");
    ASSERT_NE(f, nullptr) << name;
    EXPECT_EQ(readRecord(f, buffer), static_cast<std::int64_t>(bytes.size())) << name;
    EXPECT_EQ(readRecord(f, buffer), -1) << name;
    EXPECT_TRUE(std::feof(f)) << name;
    std::fclose(f);

    bool whole = false;
    const Walk tokens = walk(bytes, whole);
    EXPECT_TRUE(whole) << name;
    ASSERT_GE(tokens.size(), 2u) << name;
    EXPECT_EQ(tokens.front().first, AUT_HEADER32) << name;
    EXPECT_EQ(tokens.back(), std::make_pair(int{AUT_TRAILER}, 7u)) << name;
  }

  // A real kernel's execve: exec arguments before the path, attr32 and subject.
  const auto real = readVector("execve_long_args_record");
  bool whole = false;
  EXPECT_EQ(walk(real, whole), (Walk{{AUT_HEADER32, 18},
                                     {AUT_EXEC_ARGS, 600},
                                     {AUT_PATH, 17},
                                     {AUT_ATTR32, 29},
                                     {AUT_SUBJECT32, 37},
                                     {AUT_RETURN32, 6},
                                     {AUT_TRAILER, 7}}));
  Token header;
  ASSERT_EQ(fetchToken(header, real.data(), real.size()), 0);
  EXPECT_EQ(header.header.version, 10);
  EXPECT_EQ(header.header.e_type, AUE_EXECVE);
}

TEST(RecordReader, ReadsAStreamOfRecordsAndFileTokens) {
  std::vector<Bytes> parts;
  Bytes stream;
  for (const char* name :
       {"file_token", "execve_long_args_record", "fork_record", "execve_record"}) {
    parts.push_back(readVector(name));
    stream.insert(stream.end(), parts.back().begin(), parts.back().end());
  }
  std::FILE* f = streamOver(stream);
  ASSERT_NE(f, nullptr);
  Bytes buffer;
  for (const Bytes& part : parts) {
    ASSERT_EQ(readRecord(f, buffer), static_cast<std::int64_t>(part.size()));
    EXPECT_EQ(buffer, part);
  }
  EXPECT_EQ(readRecord(f, buffer), -1);
  std::fclose(f);
}

TEST(RecordReader, FailuresLeaveTheStreamWhereTheyHappened) {
  const struct {
    const char* what;
    const char* hex;
    long consumed;
  } cases[] = {
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
  for (const auto& c : cases) {
    const auto bytes = fromHex(c.hex);
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr) << c.what;
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
    Bytes buffer;
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
  Bytes buffer;
  EXPECT_EQ(readRecord(f, buffer), -1);
  EXPECT_EQ(readRecord(f, buffer, 109), -1);  // 110 bytes claimed, 109 allowed
  std::rewind(f);
  std::fgetc(f);
  EXPECT_EQ(readRecord(f, buffer, 110), 110);
  std::fclose(f);
}

TEST(RecordFraming, RecordLengthFromBytesInMemory) {
  const struct {
    const char* what;
    const char* hex;
    std::int64_t expected;
  } cases[] = {
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
  for (const auto& c : cases) {
    const auto bytes = fromHex(c.hex);
    EXPECT_EQ(recordLength(bytes.data(), bytes.size()), c.expected) << c.what;
  }
  const auto record = readVector("fork_record");
  EXPECT_EQ(recordLength(record.data(), record.size(), 85), -1);
}

TEST(RecordReader, GarbageStreamsEndWithoutHarm) {
  std::uint32_t state = 99;
  Bytes stream(std::size_t{64} * 1024);
  for (std::size_t i = 0; i < stream.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    // Mostly header ids and small sizes, so that records do get framed.
    const auto r = static_cast<std::uint8_t>(state >> 24);
    stream[i] = (i % 37 == 0) ? AUT_HEADER32 : (i % 37 < 3 ? 0 : r);
  }
  std::FILE* f = streamOver(stream);
  Bytes buffer;
  int framed = 0;
  while (!std::feof(f)) {
    const std::int64_t n = readRecord(f, buffer);
    if (n <= 0) continue;
    ++framed;
    ASSERT_EQ(static_cast<std::size_t>(n), buffer.size());
    bool whole = false;
    walk(buffer, whole);
  }
  EXPECT_GT(framed, 0);
  std::fclose(f);
}

}  // namespace
}  // namespace procscope::bsm
