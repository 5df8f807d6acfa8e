#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "BsmTestData.hpp"
#include "procscope/bsm/Encoder.hpp"
#include "procscope/bsm/Reader.hpp"
#include "procscope/bsm/Token.hpp"

namespace procscope::bsm {
namespace {

using testing::fromHex;
using testing::readVector;

// The process-event vectors' time stamp and subject.
constexpr RecordTime kVectorTime{0x6b165b40, 0xdb};
SubjectFields vectorSubject(std::uint32_t pid) {
  return {1000, 1001, 20, 1002, 21, pid, 100, 0, 0};
}

// The body tokens of a one-record buffer: what lies between header32 and trailer.
std::vector<std::uint8_t> body(const std::vector<std::uint8_t>& record) {
  return {record.begin() + 18, record.end() - 7};
}

TEST(Encoder, ProcessEventRecordsMatchTheVectorsByteForByte) {
  const std::string_view echo[] = {"/bin/echo", "hello", "", "w\xc3\xb6rld"};
  EXPECT_EQ(RecordBuilder(AUE_EXECVE, kVectorTime)
                .execArgs(echo)
                .path("/bin/echo")
                .subject32(vectorSubject(4242))
                .return32(0, 0)
                .finish(),
            readVector("execve_record"));

  EXPECT_EQ(RecordBuilder(AUE_FORK, kVectorTime)
                .arg32(0, 4243, "child PID")
                .subject32(vectorSubject(4242))
                .return32(0, 4243)
                .finish(),
            readVector("fork_record"));

  const std::string_view env[] = {"/usr/bin/env", "-i", "/usr/bin/true"};
  EXPECT_EQ(RecordBuilder(AUE_POSIX_SPAWN, kVectorTime)
                .arg32(0, 4244, "child PID")
                .subject32(vectorSubject(4242))
                .path("/usr/bin/env")
                .execArgs(env)
                .return32(0, 0)
                .finish(),
            readVector("posix_spawn_record"));

  EXPECT_EQ(RecordBuilder(AUE_EXIT, kVectorTime)
                .subject32(vectorSubject(4243))
                .exit(9, 0)
                .return32(0, 0)
                .finish(),
            readVector("exit_record"));
}

TEST(Encoder, WorkedRecordsMatch) {
  const SubjectFields s{1000, 1001, 1002, 1003, 1004, 4242, 4100, 0, 0x7f000001};
  const RecordTime t{1700000000, 500};
  const std::string_view ls[] = {"ls", "-l"};
  EXPECT_EQ(RecordBuilder(AUE_EXECVE, t)
                .subject32(s)
                .path("/bin/ls")
                .execArgs(ls)
                .return32(0, 0)
                .finish(),
            fromHex("140000005a0b001700006553f100000001f4"
                    "24000003e8000003e9000003ea000003eb000003ec0000109200001004000000007f000001"
                    "2300082f62696e2f6c7300"
                    "3c000000026c73002d6c00"
                    "270000000000"
                    "13b1050000005a"));
  EXPECT_EQ(RecordBuilder(AUE_FORK, t)
                .arg32(0, 4243, "child PID")
                .subject32(s)
                .return32(0, 4243)
                .finish(),
            fromHex("14000000560b000200006553f100000001f4"
                    "2d0000001093000a6368696c642050494400"
                    "24000003e8000003e9000003ea000003eb000003ec0000109200001004000000007f000001"
                    "270000001093"
                    "13b10500000056"));
}

TEST(Encoder, TokensMatchTheVectors) {
  const SubjectFields ref{0x12345678, 0x01234567, 0x23456789, 0x98765432, 0x09876543,
                          0x13243546, 0x97867564, 0x16593746, 0x7f000001};
  const std::string_view echo[] = {"/bin/echo", "hello", "", "w\xc3\xb6rld"};
  struct Case {
    const char* vector;
    std::vector<std::uint8_t> encoded;
  };
  const Case cases[] = {
      {"exit_token", body(RecordBuilder(0, {}).exit(256, 0).finish())},
      {"exec_args_token", body(RecordBuilder(0, {}).execArgs(echo).finish())},
      {"arg64_token", body(RecordBuilder(0, {}).arg64(1, 0x100001234, "child PID").finish())},
      {"arg32_token", body(RecordBuilder(0, {}).arg32(3, 0xabcdef00, "test_arg32_token").finish())},
      {"subject64_token", body(RecordBuilder(0, {}).subject64(vectorSubject(4242)).finish())},
      {"subject32_token", body(RecordBuilder(0, {}).subject32(ref).finish())},
      {"process32_token", body(RecordBuilder(0, {}).process32(ref).finish())},
      {"return64_token", body(RecordBuilder(0, {}).return64(0, 0x1122334455667788).finish())},
      {"return32_token", body(RecordBuilder(0, {}).return32(22, 0x12345678).finish())},
      {"path_token", body(RecordBuilder(0, {}).path("/test/this/is/a/test").finish())},
      {"text_token", body(RecordBuilder(0, {}).text("This is a test.").finish())},
      {"file_token", encodeFileToken({0x12345, 424}, "test")},
  };
  for (const Case& c : cases) EXPECT_EQ(c.encoded, readVector(c.vector)) << c.vector;

  // Whole records of the older vectors: header32 with event 0 plus one token.
  auto record = readVector("return32_record");
  Token header;
  ASSERT_EQ(fetchToken(header, record.data(), record.size()), 0);
  EXPECT_EQ(RecordBuilder(AUE_NULL, {header.header.s, static_cast<std::uint32_t>(header.header.ms)})
                .return32(22, 0x12345678)
                .finish(),
            record);
}

TEST(Encoder, RoundTripThroughReaderAndParser) {
  const SubjectFields s{7, 8, 9, 10, 11, 12, 13, 14, 0x0a000001};
  const std::string_view args[] = {"prog", "a b", "\xff\xfe", ""};
  std::string longText(70000, 'x');
  RecordBuilder b(AUE_POSIX_SPAWN, {1234567890, 999}, 0x8000);
  b.subject64(s)
      .arg64(2, 0xfffffffffffffff0u, "")
      .path(longText)
      .execArgs(args)
      .text("note")
      .exit(3, 4)
      .return64(13, 0xffffffffffffffffu);
  std::vector<std::uint8_t> stream;
  b.finishInto(stream);
  stream.push_back(0);  // a stray byte after the record is not part of it

  std::FILE* f = fmemopen(stream.data(), stream.size(), "rb");
  std::vector<std::uint8_t> buffer;
  const std::int64_t n = readRecord(f, buffer);
  std::fclose(f);
  ASSERT_EQ(n, static_cast<std::int64_t>(stream.size() - 1));

  Token t;
  TokenCursor cursor(buffer.data(), buffer.size());
  std::vector<std::uint8_t> ids;
  while (cursor.next(t)) {
    ids.push_back(t.id);
    switch (t.id) {
      case AUT_HEADER32:
        EXPECT_EQ(t.header.size, n);
        EXPECT_EQ(t.header.version, kRecordVersion);
        EXPECT_EQ(t.header.e_type, AUE_POSIX_SPAWN);
        EXPECT_EQ(t.header.e_mod, 0x8000);
        EXPECT_EQ(t.header.s, 1234567890u);
        EXPECT_EQ(t.header.ms, 999u);
        break;
      case AUT_SUBJECT64:
        EXPECT_EQ(t.subject.auid, 7u);
        EXPECT_EQ(t.subject.euid, 8u);
        EXPECT_EQ(t.subject.pid, 12u);
        EXPECT_EQ(t.subject.sid, 13u);
        EXPECT_EQ(t.subject.tid.port, 14u);
        EXPECT_EQ(t.subject.tid.addr[0], 10);
        break;
      case AUT_ARG64:
        EXPECT_EQ(t.arg.no, 2);
        EXPECT_EQ(t.arg.val, 0xfffffffffffffff0u);
        EXPECT_EQ(t.arg.text, "");
        break;
      case AUT_PATH:
        EXPECT_EQ(t.path.path.size(), 0xfffeu);  // cut to fit the length field
        break;
      case AUT_EXEC_ARGS:
        ASSERT_EQ(t.execArgs.count, 4u);
        for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(t.execArgs.text[i], args[i]);
        break;
      case AUT_TEXT:
        EXPECT_EQ(t.text.text, "note");
        break;
      case AUT_EXIT:
        EXPECT_EQ(t.exit.status, 3u);
        EXPECT_EQ(t.exit.ret, 4u);
        break;
      case AUT_RETURN64:
        EXPECT_EQ(t.ret.status, 13);
        EXPECT_EQ(t.ret.ret, 0xffffffffffffffffu);
        break;
      case AUT_TRAILER:
        EXPECT_EQ(t.trailer.magic, kTrailerMagic);
        EXPECT_EQ(t.trailer.count, n);
        break;
    }
  }
  EXPECT_FALSE(cursor.failed());
  EXPECT_EQ(ids, (std::vector<std::uint8_t>{AUT_HEADER32, AUT_SUBJECT64, AUT_ARG64, AUT_PATH,
                                            AUT_EXEC_ARGS, AUT_TEXT, AUT_EXIT, AUT_RETURN64,
                                            AUT_TRAILER}));
}

TEST(Encoder, AnArgumentWithANulStaysOneArgument) {
  using namespace std::string_view_literals;
  const std::string_view args[] = {"a\0b"sv, "c"};
  auto record = RecordBuilder(AUE_EXECVE, {}).execArgs(args).finish();
  Token t;
  ASSERT_EQ(fetchToken(t, record.data() + 18, record.size() - 18), 0);
  ASSERT_EQ(t.execArgs.count, 2u);
  EXPECT_EQ(t.execArgs.text[0], "a");
  EXPECT_EQ(t.execArgs.text[1], "c");
}

TEST(Encoder, AHugeArgumentListKeepsTheRecordReadable) {
  const std::string arg(1000, 'a');
  const std::vector<std::string_view> args(2000, arg);  // about 2 MB, as Linux allows
  auto record = RecordBuilder(AUE_EXECVE, {}).path("/bin/x").execArgs(args).finish();
  EXPECT_EQ(recordLength(record.data(), record.size()), static_cast<std::int64_t>(record.size()));
  Token t;
  TokenCursor cursor(record.data(), record.size());
  while (cursor.next(t) && t.id != AUT_EXEC_ARGS) {
  }
  ASSERT_EQ(t.id, AUT_EXEC_ARGS);
  EXPECT_EQ(t.execArgs.total, (kMaxExecArgsBytes - 5) / 1001);
  EXPECT_LE(t.len, kMaxExecArgsBytes);
}

TEST(Encoder, ReusesItsBufferAcrossRecords) {
  RecordBuilder b(AUE_EXIT, {});
  b.subject32({}).exit(0, 0);
  const auto first = b.finishInPlace();
  const std::vector<std::uint8_t> copy(first.begin(), first.end());
  b.reset(AUE_EXIT, {});
  b.subject32({}).exit(0, 0);
  const auto second = b.finishInPlace();
  EXPECT_EQ(second.data(), first.data());
  EXPECT_EQ(std::vector<std::uint8_t>(second.begin(), second.end()), copy);

  std::vector<std::uint8_t> out;
  b.reset(AUE_FORK, {});
  b.finishInto(out);
  b.reset(AUE_FORK, {});
  b.finishInto(out);
  EXPECT_EQ(out.size(), 50u);
  EXPECT_EQ(recordLength(out.data() + 25, 25), 25);
}

TEST(Encoder, ErrnoToBsmError) {
  const std::pair<int, int> cases[] = {
      {0, 0},       {EPERM, 1},      {ENOENT, 2},        {EACCES, 13},
      {ERANGE, 34}, {EDEADLK, 45},   {ENAMETOOLONG, 78}, {ENOSYS, 89},
      {ELOOP, 90},  {ENOTEMPTY, 93}, {EOPNOTSUPP, 250},  {-1, 250}};
  for (const auto& [linux, bsm] : cases) EXPECT_EQ(bsmError(linux), bsm) << linux;
}

}  // namespace
}  // namespace procscope::bsm
