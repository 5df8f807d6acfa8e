// Token parsing: the reference vectors, hand-made layouts and garbage.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BsmTestData.hpp"
#include "procscope/bsm/Token.hpp"

namespace procscope::bsm {
namespace {

using testing::fields;
using testing::fromHex;
using testing::Numbers;
using testing::readVector;

// Parses `bytes` from an exact-size copy, so that any read past the end
// lands outside the heap block and shows under AddressSanitizer; -1 or the
// token length. The copy lives until the next call, so the token's string
// views stay valid.
long long parse(Token& token, const std::vector<std::uint8_t>& bytes) {
  static std::vector<std::uint8_t> copy;
  copy = std::vector<std::uint8_t>(bytes);
  return fetchToken(token, copy.data(), copy.size()) == 0 ? static_cast<long long>(token.len) : -1;
}

bool parseVector(Token& token, const char* name) {
  const auto bytes = readVector(name);
  return !bytes.empty() && parse(token, bytes) == static_cast<long long>(bytes.size());
}

std::string zeros(std::size_t bytes) {
  return std::string(2 * bytes, '0');
}

TEST(TokenVectors, EachIsOneWholeTokenAndEveryTruncationFails) {
  const auto names = testing::vectorNames("_token");
  ASSERT_EQ(names.size(), 35u);
  for (const auto& name : names) {
    const auto bytes = readVector(name);
    Token token;
    ASSERT_EQ(parse(token, bytes), static_cast<long long>(bytes.size())) << name;
    EXPECT_EQ(token.id, bytes[0]) << name;
    for (std::size_t n = 0; n < bytes.size(); ++n) {
      EXPECT_EQ(parse(token, {bytes.begin(), bytes.begin() + static_cast<long>(n)}), -1)
          << name << " cut to " << n;
    }
  }
}

// The tokens the encoder writes byte for byte like their vectors decode in
// its round trip; these are the rest.
TEST(TokenVectors, BodiesDecode) {
  Token t;
  ASSERT_TRUE(parseVector(t, "header64_token"));
  EXPECT_EQ(fields(t.header), (Numbers{33, 11, AUE_EXECVE, 0, 1700000000, 123}));

  ASSERT_TRUE(parseVector(t, "subject64ex_token-IPv4"));
  EXPECT_EQ(fields(t.subject), (Numbers{1000, 1001, 20, 1002, 21, 4242, 100}));
  EXPECT_EQ(t.subject.tid.type, 4u);
  EXPECT_EQ(t.subject.tid.addr[0], 0x7f);
  EXPECT_EQ(t.subject.tid.addr[3], 0x01);
  ASSERT_TRUE(parseVector(t, "subject32ex_token-IPv6"));
  EXPECT_EQ(fields(t.subject), (Numbers{0x12345678, 0x01234567, 0x23456789, 0x98765432, 0x09876543,
                                        0x13243546, 0x97867564}));
  EXPECT_EQ(t.subject.tid.port, 0x16593746u);
  EXPECT_EQ(t.subject.tid.type, 16u);
  EXPECT_EQ(t.subject.tid.addr,
            (std::array<std::uint8_t, 16>{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
  ASSERT_TRUE(parseVector(t, "process64_token"));
  EXPECT_EQ(t.process.pid, 0x13243546u);
  EXPECT_EQ(t.process.tid.port, 0x16593746u);

  ASSERT_TRUE(parseVector(t, "exec_args_130_token"));  // kept up to the cap, all counted
  EXPECT_EQ(t.execArgs.count, kMaxExecArgs);
  EXPECT_EQ(t.execArgs.total, 130u);
  EXPECT_EQ(t.execArgs.text[127], "a127");

  ASSERT_TRUE(parseVector(t, "arg32_token"));
  EXPECT_EQ(Numbers({t.arg.no, t.arg.val}), (Numbers{3, 0xabcdef00}));
  EXPECT_EQ(t.arg.text, "test_arg32_token");
  ASSERT_TRUE(parseVector(t, "return32_token"));
  EXPECT_EQ(Numbers({t.ret.status, t.ret.ret}), (Numbers{22, 0x12345678}));
  ASSERT_TRUE(parseVector(t, "file_token"));
  EXPECT_EQ(Numbers({t.file.s, t.file.ms}), (Numbers{0x12345, 424}));
  EXPECT_EQ(t.file.name, "test");

  ASSERT_TRUE(parseVector(t, "path_token"));
  EXPECT_EQ(t.path.path, "/test/this/is/a/test");
  const std::pair<const char*, const char*> texts[] = {{"zonename_token", "testzone"},
                                                       {"opaque_token", "\xaa\xbb\xcc\xdd"}};
  for (const auto& [name, text] : texts) {
    ASSERT_TRUE(parseVector(t, name)) << name;
    EXPECT_EQ(t.text.text, text) << name;
  }
}

// Hand-made tokens, each with the exact outcome (-1 or the length).
TEST(TokenSizing, LayoutsAndFailures) {
  const struct {
    const char* what;
    std::string hex;
    long long expected;
  } cases[] = {
      // Header _ex: 4 or 16 address bytes, any other type none (accepted).
      {"header32_ex v4", "15000000000b00000000000000047f000001" + zeros(8), 26},
      {"header32_ex v6", "15000000000b0000000000000010" + zeros(15) + "01" + zeros(8), 38},
      {"header32_ex odd type", "15000000000b0000000000000007" + zeros(8), 22},
      {"header64_ex v4", "79000000000b00000000000000047f000001" + zeros(16), 34},
      {"header64_ex odd type", "79000000000b0000000000000000" + zeros(16), 30},
      // Subject/process _ex, in_addr_ex, socket_ex: types other than 4/16 fail.
      {"subject32_ex type 5", "7a" + zeros(32) + "00000005" + zeros(5), -1},
      {"in_addr_ex v4", "7e000000047f000001", 9},
      {"in_addr_ex v6", "7e00000010" + zeros(15) + "01", 21},
      {"in_addr_ex type 6", "7e00000006000000000000", -1},
      {"socket_ex v6", "7f0002000200100000" + zeros(15) + "010000" + zeros(15) + "01", 43},
      {"socket_ex atype 5", "7f000200020005" + zeros(15), -1},
      {"data 2 x u64", "21040302" + zeros(16), 20},
      {"data unit 4", "210404020000000000000000", -1},
      {"ipc_perm", "32" + zeros(28), 29},
      {"attr32", "3e" + zeros(28), 29},
      {"attr64", "73" + zeros(32), 33},
      {"socket", "2e" + zeros(14), 15},
      {"sockinet32", "800002005000000000", 9},
      {"sockinet128", "81000a0050" + zeros(15) + "01", 21},
      {"sockunix with NUL", "8200012f746d702f7300ffff", 10},
      {"sockunix fewer than 3 bytes", "8200", -1},
      {"sockunix nothing after family", "820001", 3},
      {"privset", "38000361620000027800", 10},
      {"upriv", "39010003616200", 7},
      {"upriv short", "39010004616200", -1},
      {"newgroups 17: the walk stays in step", "3b0011" + zeros(68), 71},
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
  for (const auto& c : cases) {
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
  // Two strings, count 3: the third string is the trailer's "\x13\xb1\x05",
  // and the walk then fails at the rest of the trailer.
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
  // Pseudo-random bytes behind every token id; under AddressSanitizer this
  // catches any read past the copy's end.
  std::uint32_t state = 12345;
  for (int id = 0; id < 256; ++id) {
    for (std::size_t size = 1; size < 80; size += 3) {
      std::vector<std::uint8_t> bytes(size);
      for (auto& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(state >> 16) & (size % 2 ? 0x0f : 0xff);  // small lengths too
      }
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
