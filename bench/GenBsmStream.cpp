// gen-bsm-stream OUT [N]: writes N (default 1,000,000) BSM records of a mix
// like a busy machine's process events: 40% execve, 20% fork, 10% posix_spawn,
// 25% exit, 5% other events (an open with subject, path and return tokens).
// The output depends only on N.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "procscope/bsm/Encoder.hpp"

using namespace procscope::bsm;

namespace {

constexpr std::array<std::string_view, 12> kPrograms = {"/bin/ls",
                                                        "/usr/bin/grep",
                                                        "/usr/bin/env",
                                                        "/bin/sh",
                                                        "/usr/bin/git",
                                                        "/usr/local/bin/node",
                                                        "/usr/bin/python3.11",
                                                        "/usr/lib/systemd/systemd-journald",
                                                        "/usr/bin/sed",
                                                        "/opt/tools/bin/build",
                                                        "/usr/sbin/cron",
                                                        "/home/user/.local/bin/tool"};

constexpr std::array<std::string_view, 16> kWords = {
    "-l",     "--color=auto", "-i",         "/tmp", "status", "--short",    "-e", "s/a/b/g",
    "main.c", "-O2",          "/etc/hosts", "--",   "-c",     "echo hello", "x",  "--verbose"};

constexpr std::array<std::string_view, 6> kOpened = {
    "/etc/passwd",       "/etc/ld.so.cache", "/usr/lib/x86_64-linux-gnu/libc.so.6",
    "/proc/self/status", "/var/log/syslog",  "/home/user/notes.txt"};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s OUT [N]\n", argv[0]);
    return 2;
  }
  const unsigned long count = argc == 3 ? std::strtoul(argv[2], nullptr, 10) : 1000000ul;
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }

  std::mt19937 random(20240229u);  // the sequence of mt19937 is fixed by the language
  RecordTime time{1700000000, 0};
  std::uint32_t nextPid = 1000;
  std::vector<std::uint8_t> chunk;
  chunk.reserve(1 << 20);
  RecordBuilder b(AUE_NULL, time);
  std::vector<std::string_view> args;

  for (unsigned long i = 0; i < count; ++i) {
    time.milliseconds += 1 + random() % 3;
    if (time.milliseconds >= 1000) {
      time.milliseconds -= 1000;
      ++time.seconds;
    }
    const std::uint32_t roll = random() % 100;
    const std::uint32_t uid = random() % 4 == 0 ? 0 : 1000 + random() % 3;
    const std::uint32_t parent = 1000 + random() % (nextPid - 999);
    const SubjectFields subject{uid, uid, uid, uid, uid, parent, parent, 0, 0};
    const std::string_view program = kPrograms[random() % kPrograms.size()];
    args.assign(1, program.substr(program.rfind('/') + 1));
    for (std::uint32_t n = random() % 6; n > 0; --n)
      args.push_back(kWords[random() % kWords.size()]);

    if (roll < 40) {  // execve, in the order a kernel writes it
      b.reset(AUE_EXECVE, time);
      b.execArgs(args).path(program).subject32(subject).return32(0, 0);
    } else if (roll < 60) {
      const std::uint32_t child = ++nextPid;
      b.reset(AUE_FORK, time);
      b.arg32(0, child, "child PID").subject32(subject).return32(0, child);
    } else if (roll < 70) {
      const std::uint32_t child = ++nextPid;
      b.reset(AUE_POSIX_SPAWN, time);
      b.arg32(0, child, "child PID").subject32(subject).path(program).execArgs(args).return32(0, 0);
    } else if (roll < 95) {
      b.reset(AUE_EXIT, time);
      b.subject32(subject).exit(random() % 8 == 0 ? 256 : 0, 0).return32(0, 0);
    } else {
      b.reset(AUE_OPENAT_R, time);
      b.subject32(subject).path(kOpened[random() % kOpened.size()]).return32(0, 3 + random() % 20);
    }
    b.finishInto(chunk);
    if (chunk.size() >= (1 << 20) - 4096) {
      std::fwrite(chunk.data(), 1, chunk.size(), out);
      chunk.clear();
    }
  }
  std::fwrite(chunk.data(), 1, chunk.size(), out);
  if (std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
