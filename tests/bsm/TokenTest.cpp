#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "BsmTestData.hpp"
#include "procscope/bsm/Token.hpp"

namespace procscope::bsm {
namespace {

using testing::fromHex;
using testing::readVector;

const std::map<std::string, std::uint8_t>& tokenVectors() {
  static const std::map<std::string, std::uint8_t> vectors = {
      {"arg32_token", AUT_ARG32},
      {"arg64_token", AUT_ARG64},
      {"arg_uuid_token", AUT_ARG_UUID},
      {"data_token", AUT_DATA},
      {"exec_args_130_token", AUT_EXEC_ARGS},
      {"exec_args_token", AUT_EXEC_ARGS},
      {"exit_token", AUT_EXIT},
      {"file_token", AUT_FILE},
      {"header32_token", AUT_HEADER32},
      {"header64_token", AUT_HEADER64},
      {"in_addr_token", AUT_IN_ADDR},
      {"ip_token", AUT_IP},
      {"ipc_token", AUT_IPC},
      {"iport_token", AUT_IPORT},
      {"opaque_token", AUT_OPAQUE},
      {"path_token", AUT_PATH},
      {"process32_token", AUT_PROCESS32},
      {"process32ex_token-IPv4", AUT_PROCESS32_EX},
      {"process32ex_token-IPv6", AUT_PROCESS32_EX},
      {"process64_token", AUT_PROCESS64},
      {"process64ex_token-IPv4", AUT_PROCESS64_EX},
      {"process64ex_token-IPv6", AUT_PROCESS64_EX},
      {"ret_uuid_token", AUT_RETURN_UUID},
      {"return32_token", AUT_RETURN32},
      {"return64_token", AUT_RETURN64},
      {"seq_token", AUT_SEQ},
      {"socketex_token", AUT_SOCKET_EX},
      {"subject32_token", AUT_SUBJECT32},
      {"subject32ex_token-IPv4", AUT_SUBJECT32_EX},
      {"subject32ex_token-IPv6", AUT_SUBJECT32_EX},
      {"subject64_token", AUT_SUBJECT64},
      {"subject64ex_token-IPv4", AUT_SUBJECT64_EX},
      {"text_token", AUT_TEXT},
      {"trailer_token", AUT_TRAILER},
      {"zonename_token", AUT_ZONENAME},
  };
  return vectors;
}

// Parses `bytes` from an exact-size copy; -1 or the token length. The copy
// lives until the next call, so the token's string views stay valid.
long long parse(Token& token, const std::vector<std::uint8_t>& bytes) {
  static std::vector<std::uint8_t> copy;
  copy = std::vector<std::uint8_t>(bytes);
  if (fetchToken(token, copy.data(), copy.size()) != 0) return -1;
  return token.len;
}

TEST(TokenVectors, EveryTokenFileIsListed) {
  for (const auto& entry : std::filesystem::directory_iterator(testing::vectorPath(""))) {
    const std::string name = entry.path().filename().string();
    if (name.find("_token") != std::string::npos) {
      EXPECT_TRUE(tokenVectors().count(name)) << name;
    }
  }
}

TEST(TokenVectors, EachParsesAsOneTokenOfItsType) {
  for (const auto& [name, id] : tokenVectors()) {
    const auto bytes = readVector(name);
    ASSERT_FALSE(bytes.empty()) << name;
    Token token;
    EXPECT_EQ(parse(token, bytes), static_cast<long long>(bytes.size())) << name;
    EXPECT_EQ(token.id, id) << name;
  }
}

TEST(TokenVectors, EveryTruncationFails) {
  for (const auto& [name, id] : tokenVectors()) {
    const auto bytes = readVector(name);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
      Token token;
      EXPECT_EQ(parse(token, {bytes.begin(), bytes.begin() + static_cast<long>(n)}), -1)
          << name << " cut to " << n;
    }
  }
}

TEST(TokenVectors, ProcessEventTokensDecode) {
  Token t;
  ASSERT_EQ(parse(t, readVector("exit_token")), 9);
  EXPECT_EQ(t.exit.status, 256u);
  EXPECT_EQ(t.exit.ret, 0u);

  ASSERT_EQ(parse(t, readVector("exec_args_token")), 29);
  ASSERT_EQ(t.execArgs.count, 4u);
  EXPECT_EQ(t.execArgs.text[0], "/bin/echo");
  EXPECT_EQ(t.execArgs.text[1], "hello");
  EXPECT_EQ(t.execArgs.text[2], "");
  EXPECT_EQ(t.execArgs.text[3], "w\xc3\xb6rld");

  ASSERT_EQ(parse(t, readVector("exec_args_130_token")), 545);
  EXPECT_EQ(t.execArgs.count, kMaxExecArgs);
  EXPECT_EQ(t.execArgs.total, 130u);
  EXPECT_EQ(t.execArgs.text[0], "a0");
  EXPECT_EQ(t.execArgs.text[127], "a127");

  ASSERT_EQ(parse(t, readVector("arg64_token")), 22);
  EXPECT_EQ(t.arg.no, 1);
  EXPECT_EQ(t.arg.val, 0x0000000100001234u);
  EXPECT_EQ(t.arg.text, "child PID");

  for (const char* name : {"subject64_token", "subject64ex_token-IPv4"}) {
    ASSERT_GT(parse(t, readVector(name)), 0) << name;
    EXPECT_EQ(t.subject.auid, 1000u) << name;
    EXPECT_EQ(t.subject.euid, 1001u) << name;
    EXPECT_EQ(t.subject.egid, 20u) << name;
    EXPECT_EQ(t.subject.ruid, 1002u) << name;
    EXPECT_EQ(t.subject.rgid, 21u) << name;
    EXPECT_EQ(t.subject.pid, 4242u) << name;
    EXPECT_EQ(t.subject.sid, 100u) << name;
  }
  EXPECT_EQ(t.subject.tid.type, 4u);
  EXPECT_EQ(t.subject.tid.addr[0], 0x7f);
  EXPECT_EQ(t.subject.tid.addr[3], 0x01);

  ASSERT_EQ(parse(t, readVector("return64_token")), 10);
  EXPECT_EQ(t.ret.status, 0);
  EXPECT_EQ(t.ret.ret, 0x1122334455667788u);

  ASSERT_EQ(parse(t, readVector("header64_token")), 26);
  EXPECT_EQ(t.header.size, 33u);
  EXPECT_EQ(t.header.version, 11);
  EXPECT_EQ(t.header.e_type, AUE_EXECVE);
  EXPECT_EQ(t.header.e_mod, 0);
  EXPECT_EQ(t.header.s, 1700000000u);
  EXPECT_EQ(t.header.ms, 123u);
}

TEST(TokenVectors, OtherBodiesDecode) {
  Token t;
  ASSERT_EQ(parse(t, readVector("header32_token")), 18);
  EXPECT_EQ(t.header.size, 0x12345678u);
  EXPECT_EQ(t.header.e_type, 3);
  EXPECT_EQ(t.header.e_mod, 0x4567);
  EXPECT_EQ(t.header.s, 0x12345u);
  EXPECT_EQ(t.header.ms, 424u);

  ASSERT_GT(parse(t, readVector("subject32ex_token-IPv6")), 0);
  EXPECT_EQ(t.subject.auid, 0x12345678u);
  EXPECT_EQ(t.subject.euid, 0x01234567u);
  EXPECT_EQ(t.subject.egid, 0x23456789u);
  EXPECT_EQ(t.subject.ruid, 0x98765432u);
  EXPECT_EQ(t.subject.rgid, 0x09876543u);
  EXPECT_EQ(t.subject.pid, 0x13243546u);
  EXPECT_EQ(t.subject.sid, 0x97867564u);
  EXPECT_EQ(t.subject.tid.port, 0x16593746u);
  EXPECT_EQ(t.subject.tid.type, 16u);
  const std::array<std::uint8_t, 16> fe80_1 = {0xfe, 0x80, 0, 0, 0, 0, 0, 0,
                                               0,    0,    0, 0, 0, 0, 0, 1};
  EXPECT_EQ(t.subject.tid.addr, fe80_1);

  ASSERT_GT(parse(t, readVector("process64_token")), 0);
  EXPECT_EQ(t.process.pid, 0x13243546u);
  EXPECT_EQ(t.process.tid.port, 0x16593746u);

  ASSERT_GT(parse(t, readVector("arg32_token")), 0);
  EXPECT_EQ(t.arg.no, 3);
  EXPECT_EQ(t.arg.val, 0xabcdef00u);
  EXPECT_EQ(t.arg.text, "test_arg32_token");

  ASSERT_GT(parse(t, readVector("path_token")), 0);
  EXPECT_EQ(t.path.path, "/test/this/is/a/test");
  ASSERT_GT(parse(t, readVector("return32_token")), 0);
  EXPECT_EQ(t.ret.status, 22);
  EXPECT_EQ(t.ret.ret, 0x12345678u);
  ASSERT_GT(parse(t, readVector("trailer_token")), 0);
  EXPECT_EQ(t.trailer.magic, 0xb105);
  EXPECT_EQ(t.trailer.count, 0x12345678u);
  ASSERT_GT(parse(t, readVector("file_token")), 0);
  EXPECT_EQ(t.file.s, 0x12345u);
  EXPECT_EQ(t.file.ms, 424u);
  EXPECT_EQ(t.file.name, "test");
  ASSERT_GT(parse(t, readVector("text_token")), 0);
  EXPECT_EQ(t.text.text, "This is a test.");
  ASSERT_GT(parse(t, readVector("zonename_token")), 0);
  EXPECT_EQ(t.text.text, "testzone");
  ASSERT_GT(parse(t, readVector("opaque_token")), 0);
  EXPECT_EQ(t.text.text, "\xaa\xbb\xcc\xdd");
}

// Hand-made tokens: each input with the exact outcome (-1 or the length).
struct Case {
  const char* what;
  const char* hex;
  long long expected;
};

TEST(TokenSizing, LayoutsAndFailures) {
  const Case cases[] = {
      // Header _ex: 4 or 16 address bytes, any other type none (accepted).
      {"header32_ex v4",
       "15000000000b0000000000000004"
       "7f000001"
       "0000000000000000",
       26},
      {"header32_ex v6",
       "15000000000b0000000000000010"
       "00000000000000000000000000000001"
       "0000000000000000",
       38},
      {"header32_ex odd type",
       "15000000000b0000000000000007"
       "0000000000000000",
       22},
      {"header64_ex v4",
       "79000000000b0000000000000004"
       "7f000001"
       "00000000000000000000000000000000",
       34},
      {"header64_ex odd type",
       "79000000000b0000000000000000"
       "00000000000000000000000000000000",
       30},
      // Subject/process _ex, in_addr_ex, socket_ex: types other than 4/16 fail.
      {"subject32_ex type 5",
       "7a"
       "00000000000000000000000000000000000000000000000000000000"
       "00000000"
       "00000005"
       "0000000000",
       -1},
      {"in_addr_ex v4", "7e000000047f000001", 9},
      {"in_addr_ex v6",
       "7e00000010"
       "00000000000000000000000000000001",
       21},
      {"in_addr_ex type 6", "7e00000006000000000000", -1},
      {"socket_ex v6",
       "7f00020002"
       "0010"
       "0000"
       "00000000000000000000000000000001"
       "0000"
       "00000000000000000000000000000001",
       43},
      {"socket_ex atype 5", "7f000200020005000000000000000000000000000000", -1},
      {"data 2 x u64",
       "210403"
       "02"
       "00000000000000000000000000000000",
       20},
      {"data unit 4", "210404020000000000000000", -1},
      {"ipc_perm",
       "32"
       "00000000000000000000000000000000000000000000000000000000",
       29},
      {"attr32",
       "3e"
       "00000000000000000000000000000000000000000000000000000000",
       29},
      {"attr64",
       "73"
       "0000000000000000000000000000000000000000000000000000000000000000",
       33},
      {"socket",
       "2e"
       "0000000000000000000000000000",
       15},
      {"sockinet32", "800002005000000000", 9},
      {"sockinet128",
       "81000a0050"
       "00000000000000000000000000000001",
       21},
      {"sockunix with NUL",
       "820001"
       "2f746d702f7300"
       "ffff",
       10},
      {"sockunix fewer than 3 bytes", "8200", -1},
      {"sockunix nothing after family", "820001", 3},
      {"privset",
       "38"
       "0003"
       "616200"
       "0002"
       "7800",
       10},
      {"upriv",
       "39"
       "01"
       "0003"
       "616200",
       7},
      {"upriv short",
       "39"
       "01"
       "0004"
       "616200",
       -1},
      // Counted beyond 16 groups: the walk stays in step.
      {"newgroups 17",
       "3b0011"
       "0000000000000000000000000000000000000000000000000000000000000000"
       "0000000000000000000000000000000000000000000000000000000000000000"
       "00000000",
       71},
      {"path empty", "230000", 3},
      {"path past end", "2300052f6100", -1},
      {"exec_args none", "3c00000000", 5},
      {"exec_args last NUL at end", "3c0000000261006200", 9},
      {"exec_args count beyond strings", "3c000000036100620063", -1},
      {"exec_env", "3d0000000141423d3100", 10},
      // Ids without a decoder take all but the last 7 bytes.
      {"unknown 0x00, 9 left", "000102030405060708", 2},
      {"unknown 0x31, 8 left", "3101020304050607", -1},
      {"unknown 0x78, 20 left", "780102030405060708090a0b0c0d0e0f10111213", 13},
      {"unknown 0xee, 1 left", "ee", -1},
  };
  for (const Case& c : cases) {
    Token token;
    EXPECT_EQ(parse(token, fromHex(c.hex)), c.expected) << c.what;
  }
}

TEST(TokenSizing, CountedStringsAreCutAtTheirFirstNul) {
  Token t;
  ASSERT_EQ(parse(t, fromHex("230005616200636400")), 8);
  EXPECT_EQ(t.path.path, "ab");
  ASSERT_EQ(parse(t, fromHex("2300026162")), 5);  // no NUL at all
  EXPECT_EQ(t.path.path, "ab");
}

TEST(TokenSizing, ExecArgsCountBeyondStringsEatsTheTrailer) {
  // Two strings, count 3: the parser reads the trailer's "\x13\xb1\x05" as
  // the third string, and the walk then fails at the rest of the trailer.
  const auto bytes = fromHex("3c000000036100620013b10500000015");
  Token t;
  ASSERT_EQ(parse(t, bytes), 13);
  EXPECT_EQ(t.execArgs.text[2], "\x13\xb1\x05");
  TokenCursor cursor(bytes.data(), bytes.size());
  while (cursor.next(t)) {
  }
  EXPECT_TRUE(cursor.failed());
}

TEST(TokenSizing, GarbageNeverReadsPastTheEnd) {
  // Deterministic pseudo-random bytes, every token id in first place; run
  // under AddressSanitizer this catches any read past the copy's end.
  std::uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return static_cast<std::uint8_t>(state >> 16);
  };
  for (int id = 0; id < 256; ++id) {
    for (std::size_t size = 1; size < 80; size += 3) {
      std::vector<std::uint8_t> bytes(size);
      for (auto& b : bytes) b = next() & (size % 2 ? 0x0f : 0xff);  // small lengths too
      bytes[0] = static_cast<std::uint8_t>(id);
      Token token;
      const long long len = parse(token, bytes);
      EXPECT_LE(len, static_cast<long long>(size));
      EXPECT_NE(len, 0);
    }
  }
}

}  // namespace
}  // namespace procscope::bsm
