// Writing records: byte for byte against the reference vectors, and back
// through the reader and parser.
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

using testing::fields;
using testing::Numbers;
using testing::readVector;
using Bytes = std::vector<std::uint8_t>;

// The process-event vectors' time stamp and subject.
constexpr RecordTime kVectorTime{0x6b165b40, 0xdb};
SubjectFields vectorSubject(std::uint32_t pid) {
  return {1000, 1001, 20, 1002, 21, pid, 100, 0, 0};
}

// The body tokens of a one-record buffer: what lies between header32 and trailer.
Bytes body(const Bytes& record) {
  return {record.begin() + 18, record.end() - 7};
}

TEST(Encoder, ProcessEventRecordsMatchTheVectorsByteForByte) {
  const std::string_view echo[] = {"/bin/echo", "hello", "", "w\xc3\xb6rld"};
  const std::string_view env[] = {"/usr/bin/env", "-i", "/usr/bin/true"};
  const std::pair<const char*, Bytes> cases[] = {
      {"execve_record", RecordBuilder(AUE_EXECVE, kVectorTime)
                            .execArgs(echo)
                            .path("/bin/echo")
                            .subject32(vectorSubject(4242))
                            .return32(0, 0)
                            .finish()},
      {"fork_record", RecordBuilder(AUE_FORK, kVectorTime)
                          .arg32(0, 4243, "child PID")
                          .subject32(vectorSubject(4242))
                          .return32(0, 4243)
                          .finish()},
      {"posix_spawn_record", RecordBuilder(AUE_POSIX_SPAWN, kVectorTime)
                                 .arg32(0, 4244, "child PID")
                                 .subject32(vectorSubject(4242))
                                 .path("/usr/bin/env")
                                 .execArgs(env)
                                 .return32(0, 0)
                                 .finish()},
      {"exit_record", RecordBuilder(AUE_EXIT, kVectorTime)
                          .subject32(vectorSubject(4243))
                          .exit(9, 0)
                          .return32(0, 0)
                          .finish()},
  };
  for (const auto& [vector, encoded] : cases) EXPECT_EQ(encoded, readVector(vector)) << vector;
}

TEST(Encoder, TokensMatchTheVectors) {
  const SubjectFields ref{0x12345678, 0x01234567, 0x23456789, 0x98765432, 0x09876543,
                          0x13243546, 0x97867564, 0x16593746, 0x7f000001};
  const std::string_view echo[] = {"/bin/echo", "hello", "", "w\xc3\xb6rld"};
  auto one = [] { return RecordBuilder(0, {}); };
  const std::pair<const char*, Bytes> cases[] = {
      {"exit_token", body(one().exit(256, 0).finish())},
      {"exec_args_token", body(one().execArgs(echo).finish())},
      {"arg64_token", body(one().arg64(1, 0x100001234, "child PID").finish())},
      {"arg32_token", body(one().arg32(3, 0xabcdef00, "test_arg32_token").finish())},
      {"subject64_token", body(one().subject64(vectorSubject(4242)).finish())},
      {"subject32_token", body(one().subject32(ref).finish())},
      {"process32_token", body(one().process32(ref).finish())},
      {"return64_token", body(one().return64(0, 0x1122334455667788).finish())},
      {"return32_token", body(one().return32(22, 0x12345678).finish())},
      {"path_token", body(one().path("/test/this/is/a/test").finish())},
      {"text_token", body(one().text("This is a test.").finish())},
      {"file_token", encodeFileToken({0x12345, 424}, "test")},
  };
  for (const auto& [vector, encoded] : cases) EXPECT_EQ(encoded, readVector(vector)) << vector;

  // A whole record of the older vectors: header32 with event 0 plus one token.
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
  RecordBuilder b(AUE_POSIX_SPAWN, {1234567890, 999}, 0x8000);
  b.subject64(s)
      .arg64(2, 0xfffffffffffffff0u, "")
      .path(std::string(70000, 'x'))
      .execArgs(args)
      .text("note")
      .exit(3, 4)
      .return64(13, 0xffffffffffffffffu);
  Bytes stream;
  b.finishInto(stream);
  stream.push_back(0);  // a stray byte after the record is not part of it

  std::FILE* f = fmemopen(stream.data(), stream.size(), "rb");
  Bytes buffer;
  const std::int64_t n = readRecord(f, buffer);
  std::fclose(f);
  ASSERT_EQ(n, static_cast<std::int64_t>(stream.size() - 1));
  const auto size = static_cast<std::uint64_t>(n);

  Token t;
  TokenCursor cursor(buffer.data(), buffer.size());
  std::vector<int> ids;
  while (cursor.next(t)) {
    ids.push_back(t.id);
    if (t.id == AUT_HEADER32) {
      EXPECT_EQ(fields(t.header),
                (Numbers{size, kRecordVersion, AUE_POSIX_SPAWN, 0x8000, 1234567890, 999}));
    } else if (t.id == AUT_SUBJECT64) {
      EXPECT_EQ(fields(t.subject), (Numbers{7, 8, 9, 10, 11, 12, 13}));
      EXPECT_EQ(t.subject.tid.port, 14u);
      EXPECT_EQ(t.subject.tid.addr[0], 10);
    } else if (t.id == AUT_ARG64) {
      EXPECT_EQ(Numbers({t.arg.no, t.arg.val}), (Numbers{2, 0xfffffffffffffff0u}));
      EXPECT_EQ(t.arg.text, "");
    } else if (t.id == AUT_PATH) {
      EXPECT_EQ(t.path.path.size(), 0xfffeu);  // cut to fit the length field
    } else if (t.id == AUT_EXEC_ARGS) {
      ASSERT_EQ(t.execArgs.count, 4u);
      for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(t.execArgs.text[i], args[i]);
    } else if (t.id == AUT_TEXT) {
      EXPECT_EQ(t.text.text, "note");
    } else if (t.id == AUT_EXIT) {
      EXPECT_EQ(Numbers({t.exit.status, t.exit.ret}), (Numbers{3, 4}));
    } else if (t.id == AUT_RETURN64) {
      EXPECT_EQ(Numbers({t.ret.status, t.ret.ret}), (Numbers{13, 0xffffffffffffffffu}));
    } else if (t.id == AUT_TRAILER) {
      EXPECT_EQ(Numbers({t.trailer.magic, t.trailer.count}), (Numbers{kTrailerMagic, size}));
    }
  }
  EXPECT_FALSE(cursor.failed());
  EXPECT_EQ(ids, (std::vector<int>{AUT_HEADER32, AUT_SUBJECT64, AUT_ARG64, AUT_PATH, AUT_EXEC_ARGS,
                                   AUT_TEXT, AUT_EXIT, AUT_RETURN64, AUT_TRAILER}));
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

TEST(Encoder, ResetStartsTheNextRecordAfresh) {
  RecordBuilder b(AUE_EXIT, {});
  b.subject32({}).exit(0, 0);
  const auto first = b.finishInPlace();
  const Bytes copy(first.begin(), first.end());
  b.reset(AUE_EXIT, {});
  b.subject32({}).exit(0, 0);
  const auto second = b.finishInPlace();
  EXPECT_EQ(Bytes(second.begin(), second.end()), copy);

  Bytes out;
  b.reset(AUE_FORK, {});
  b.finishInto(out);
  b.reset(AUE_FORK, {});
  b.finishInto(out);  // appended
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
