// bsm-walk-bench FILE: reads a BSM file through the record reader and walks
// every token of every record, taking the fields the audit monitor reads
// (event type, subject euid and pid, argument value, path, exec arguments,
// exit status), with no live-process lookups. Prints records per second and
// MB per second, best of 5 runs.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "procscope/bsm/Reader.hpp"
#include "procscope/bsm/Token.hpp"

using namespace procscope::bsm;

namespace {

// What the walk took, folded together so that none of it is optimised away.
struct Sink {
  std::uint64_t records = 0;
  std::uint64_t bytes = 0;
  std::uint64_t failedTokens = 0;
  std::uint64_t sum = 0;
};

// The monitor's walk: a signed count of bytes left, ended by a token that
// does not parse.
void walk(const std::uint8_t* data, std::int32_t left, Token& t, Sink& sink) {
  while (left > 0) {
    if (fetchToken(t, data, static_cast<std::size_t>(left)) != 0) {
      ++sink.failedTokens;
      return;
    }
    switch (t.id) {
      case AUT_HEADER32:
      case AUT_HEADER32_EX:
      case AUT_HEADER64:
      case AUT_HEADER64_EX:
        sink.sum += t.header.e_type;
        break;
      case AUT_SUBJECT32:
      case AUT_SUBJECT64:
      case AUT_SUBJECT32_EX:
      case AUT_SUBJECT64_EX:
        sink.sum += t.subject.euid ^ t.subject.pid;
        break;
      case AUT_ARG32:
      case AUT_ARG64:
        sink.sum += static_cast<std::uint32_t>(t.arg.val);
        break;
      case AUT_PATH:
        sink.sum += t.path.path.size();
        break;
      case AUT_EXEC_ARGS:
        for (std::uint32_t i = 0; i < t.execArgs.count; ++i) sink.sum += t.execArgs.text[i].size();
        break;
      case AUT_EXIT:
        sink.sum += t.exit.status;
        break;
      default:
        break;
    }
    data += t.len;
    left -= static_cast<std::int32_t>(t.len);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  std::FILE* f = std::fopen(argv[1], "rb");
  if (f == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  static char streamBuffer[1 << 20];
  std::setvbuf(f, streamBuffer, _IOFBF, sizeof streamBuffer);

  std::vector<std::uint8_t> buffer;
  Token token;
  Sink best;
  double bestSeconds = 0;
  for (int run = 0; run < 5; ++run) {
    std::rewind(f);
    Sink sink;
    const auto start = std::chrono::steady_clock::now();
    while (true) {
      const std::int64_t n = readRecord(f, buffer);
      if (n <= 0) {
        if (std::feof(f) || std::ferror(f)) break;
        continue;  // not a record here; the reader has moved past it
      }
      ++sink.records;
      sink.bytes += static_cast<std::uint64_t>(n);
      walk(buffer.data(), static_cast<std::int32_t>(n), token, sink);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (run == 0 || seconds < bestSeconds) {
      bestSeconds = seconds;
      best = sink;
    }
  }
  std::fclose(f);

  if (best.records == 0 || bestSeconds <= 0) {
    std::fprintf(stderr, "%s: no records\n", argv[1]);
    return 1;
  }
  std::printf("%llu records, %.1f MB, %llu unparsable tokens (checksum %llu)\n",
              static_cast<unsigned long long>(best.records), best.bytes / 1e6,
              static_cast<unsigned long long>(best.failedTokens),
              static_cast<unsigned long long>(best.sum));
  std::printf("best of 5: %.3f s, %.2f million records/s, %.1f MB/s\n", bestSeconds,
              best.records / bestSeconds / 1e6, best.bytes / bestSeconds / 1e6);
  return 0;
}
