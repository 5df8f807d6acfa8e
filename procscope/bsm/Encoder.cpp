// The BSM record writer: big-endian fields, length-prefixed strings written
// with their NUL (strlen + 1), a header32 whose size and the trailer's count
// are the whole record's length.
#include "procscope/bsm/Encoder.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "procscope/bsm/Reader.hpp"

namespace procscope::bsm {
namespace {

constexpr std::size_t kHeader32Size = 18;
constexpr std::size_t kTrailerSize = 7;
// A length-prefixed string holds at most this many bytes before its NUL.
constexpr std::size_t kMaxCountedString = 0xfffe;
// Exec arguments plus a few counted strings and fixed tokens stay readable.
static_assert(kMaxExecArgsBytes + 4 * (kMaxCountedString + 3) + 1024 < kMaxRecordSize);

std::uint8_t* grow(std::vector<std::uint8_t>& buffer, std::size_t n) {
  const std::size_t at = buffer.size();
  buffer.resize(at + n);
  return buffer.data() + at;
}

std::uint8_t* put8(std::uint8_t* p, std::uint8_t v) {
  *p = v;
  return p + 1;
}
std::uint8_t* put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
  return p + 2;
}
std::uint8_t* put32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
  return p + 4;
}
std::uint8_t* put64(std::uint8_t* p, std::uint64_t v) {
  return put32(put32(p, static_cast<std::uint32_t>(v >> 32)), static_cast<std::uint32_t>(v));
}

// Bytes of `s` up to its first NUL: a NUL inside would end the string early
// for every reader anyway, and in exec arguments it would split one argument.
std::string_view beforeNul(std::string_view s) {
  const std::size_t nul = s.find('\0');
  return nul == std::string_view::npos ? s : s.substr(0, nul);
}

}  // namespace

RecordTime RecordTime::now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return {static_cast<std::uint64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec / 1000000)};
}

RecordBuilder::RecordBuilder(std::uint16_t eventType)
    : RecordBuilder(eventType, RecordTime::now()) {}

RecordBuilder::RecordBuilder(std::uint16_t eventType, RecordTime time,
                             std::uint16_t eventModifier) {
  begin(eventType, time, eventModifier);
}

void RecordBuilder::reset(std::uint16_t eventType, RecordTime time, std::uint16_t eventModifier) {
  begin(eventType, time, eventModifier);
}

void RecordBuilder::begin(std::uint16_t eventType, RecordTime time, std::uint16_t eventModifier) {
  buffer_.clear();
  std::uint8_t* p = grow(buffer_, kHeader32Size);
  p = put8(p, AUT_HEADER32);
  p = put32(p, 0);  // size, filled in by close()
  p = put8(p, kRecordVersion);
  p = put16(p, eventType);
  p = put16(p, eventModifier);
  p = put32(p, static_cast<std::uint32_t>(time.seconds));
  put32(p, time.milliseconds);
}

void RecordBuilder::close() {
  const auto total = static_cast<std::uint32_t>(buffer_.size() + kTrailerSize);
  if (buffer_.size() >= 5) put32(buffer_.data() + 1, total);
  std::uint8_t* p = grow(buffer_, kTrailerSize);
  p = put8(p, AUT_TRAILER);
  p = put16(p, kTrailerMagic);
  put32(p, total);
}

void RecordBuilder::subject(std::uint8_t id, const SubjectFields& s, bool wide) {
  std::uint8_t* p = grow(buffer_, wide ? 41 : 37);
  p = put8(p, id);
  for (std::uint32_t v : {s.auid, s.euid, s.egid, s.ruid, s.rgid, s.pid, s.sid}) p = put32(p, v);
  p = wide ? put64(p, s.tidPort) : put32(p, static_cast<std::uint32_t>(s.tidPort));
  put32(p, s.tidAddr);
}

void RecordBuilder::lengthString(std::string_view s) {
  if (s.size() > kMaxCountedString) s = s.substr(0, kMaxCountedString);
  std::uint8_t* p = grow(buffer_, 2 + s.size() + 1);
  p = put16(p, static_cast<std::uint16_t>(s.size() + 1));
  if (!s.empty()) std::memcpy(p, s.data(), s.size());
  p[s.size()] = 0;
}

RecordBuilder& RecordBuilder::subject32(const SubjectFields& s) {
  subject(AUT_SUBJECT32, s, false);
  return *this;
}

RecordBuilder& RecordBuilder::subject64(const SubjectFields& s) {
  subject(AUT_SUBJECT64, s, true);
  return *this;
}

RecordBuilder& RecordBuilder::process32(const SubjectFields& s) {
  subject(AUT_PROCESS32, s, false);
  return *this;
}

RecordBuilder& RecordBuilder::arg32(std::uint8_t no, std::uint32_t val, std::string_view text) {
  std::uint8_t* p = grow(buffer_, 6);
  p = put8(p, AUT_ARG32);
  p = put8(p, no);
  put32(p, val);
  lengthString(text);
  return *this;
}

RecordBuilder& RecordBuilder::arg64(std::uint8_t no, std::uint64_t val, std::string_view text) {
  std::uint8_t* p = grow(buffer_, 10);
  p = put8(p, AUT_ARG64);
  p = put8(p, no);
  put64(p, val);
  lengthString(text);
  return *this;
}

RecordBuilder& RecordBuilder::path(std::string_view path) {
  put8(grow(buffer_, 1), AUT_PATH);
  lengthString(path);
  return *this;
}

RecordBuilder& RecordBuilder::text(std::string_view text) {
  put8(grow(buffer_, 1), AUT_TEXT);
  lengthString(text);
  return *this;
}

RecordBuilder& RecordBuilder::execArgs(std::span<const std::string_view> args) {
  // Whole arguments only, as many as fit the byte bound, so that a record
  // with a huge argument list still fits what readers accept.
  std::size_t bytes = 5;
  std::size_t kept = 0;
  for (std::string_view a : args) {
    const std::size_t more = beforeNul(a).size() + 1;
    if (bytes + more > kMaxExecArgsBytes) break;
    bytes += more;
    ++kept;
  }
  std::uint8_t* p = grow(buffer_, bytes);
  p = put8(p, AUT_EXEC_ARGS);
  p = put32(p, static_cast<std::uint32_t>(kept));
  for (std::string_view a : args.first(kept)) {
    a = beforeNul(a);
    if (!a.empty()) std::memcpy(p, a.data(), a.size());
    p[a.size()] = 0;
    p += a.size() + 1;
  }
  return *this;
}

RecordBuilder& RecordBuilder::exit(std::uint32_t status, std::uint32_t ret) {
  std::uint8_t* p = grow(buffer_, 9);
  p = put8(p, AUT_EXIT);
  p = put32(p, status);
  put32(p, ret);
  return *this;
}

RecordBuilder& RecordBuilder::return32(std::uint8_t status, std::uint32_t ret) {
  std::uint8_t* p = grow(buffer_, 6);
  p = put8(p, AUT_RETURN32);
  p = put8(p, status);
  put32(p, ret);
  return *this;
}

RecordBuilder& RecordBuilder::return64(std::uint8_t status, std::uint64_t ret) {
  std::uint8_t* p = grow(buffer_, 10);
  p = put8(p, AUT_RETURN64);
  p = put8(p, status);
  put64(p, ret);
  return *this;
}

RecordBuilder& RecordBuilder::raw(std::span<const std::uint8_t> tokenBytes) {
  if (!tokenBytes.empty())
    std::memcpy(grow(buffer_, tokenBytes.size()), tokenBytes.data(), tokenBytes.size());
  return *this;
}

std::vector<std::uint8_t> RecordBuilder::finish() {
  close();
  return std::exchange(buffer_, {});
}

void RecordBuilder::finishInto(std::vector<std::uint8_t>& out) {
  close();
  out.insert(out.end(), buffer_.begin(), buffer_.end());
}

std::span<const std::uint8_t> RecordBuilder::finishInPlace() {
  close();
  return buffer_;
}

std::vector<std::uint8_t> encodeFileToken(RecordTime time, std::string_view name) {
  std::vector<std::uint8_t> out;
  std::uint8_t* p = grow(out, 9);
  p = put8(p, AUT_FILE);
  p = put32(p, static_cast<std::uint32_t>(time.seconds));
  put32(p, time.milliseconds);
  name = name.substr(0, std::min(name.size(), kMaxCountedString));
  p = grow(out, 2 + name.size() + 1);
  p = put16(p, static_cast<std::uint16_t>(name.size() + 1));
  if (!name.empty()) std::memcpy(p, name.data(), name.size());
  p[name.size()] = 0;
  return out;
}

std::uint8_t bsmError(int linuxErrno) {
  // 1-34 are the same numbers on both sides.
  if (linuxErrno >= 0 && linuxErrno <= ERANGE) return static_cast<std::uint8_t>(linuxErrno);
  switch (linuxErrno) {
    case EDEADLK:
      return 45;
    case ENAMETOOLONG:
      return 78;
    case ENOSYS:
      return 89;
    case ENOTEMPTY:
      return 93;
    case ELOOP:
      return 90;
    default:
      return kUnknownError;
  }
}

}  // namespace procscope::bsm
