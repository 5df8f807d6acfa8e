// Writes BSM audit records: a header32, the body tokens in the order they are
// added, and a trailer. Used by tests to build streams and by the Linux event
// source, which encodes one record per event into a reused buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "procscope/bsm/Token.hpp"

namespace procscope::bsm {

inline constexpr std::uint8_t kRecordVersion = 11;
inline constexpr std::uint16_t kTrailerMagic = 0xb105;
// Bound on one exec-arguments token (Linux allows argument lists of several
// MB): with it, a record of the tokens below stays within kMaxRecordSize.
inline constexpr std::size_t kMaxExecArgsBytes = 512 * 1024;

// Terminal id and identities of the acting process, as in a subject token.
// tidAddr holds the four IPv4 address bytes in network order (0 = 0.0.0.0).
struct SubjectFields {
  std::uint32_t auid = 0xffffffff;
  std::uint32_t euid = 0;
  std::uint32_t egid = 0;
  std::uint32_t ruid = 0;
  std::uint32_t rgid = 0;
  std::uint32_t pid = 0;
  std::uint32_t sid = 0;
  std::uint64_t tidPort = 0;  // 32 bits in subject32, 64 in subject64
  std::uint32_t tidAddr = 0;
};

// A record timestamp: seconds and milliseconds (0-999).
struct RecordTime {
  std::uint64_t seconds = 0;
  std::uint32_t milliseconds = 0;
  static RecordTime now();
};

class RecordBuilder {
 public:
  // Starts a record with a 32-bit header for `eventType`, stamped `time`
  // (default: the current time) and with modifier `eventModifier`.
  explicit RecordBuilder(std::uint16_t eventType);
  RecordBuilder(std::uint16_t eventType, RecordTime time, std::uint16_t eventModifier = 0);

  // Starts over with a new header; keeps the buffer's capacity.
  void reset(std::uint16_t eventType, RecordTime time, std::uint16_t eventModifier = 0);

  RecordBuilder& subject32(const SubjectFields& s);
  RecordBuilder& subject64(const SubjectFields& s);
  RecordBuilder& process32(const SubjectFields& s);
  RecordBuilder& arg32(std::uint8_t no, std::uint32_t val, std::string_view text);
  RecordBuilder& arg64(std::uint8_t no, std::uint64_t val, std::string_view text);
  RecordBuilder& path(std::string_view path);
  RecordBuilder& text(std::string_view text);
  // Each argument is cut at its first NUL. The token keeps the leading
  // arguments that fit in kMaxExecArgsBytes and announces only those.
  RecordBuilder& execArgs(std::span<const std::string_view> args);
  RecordBuilder& exit(std::uint32_t status, std::uint32_t ret);
  RecordBuilder& return32(std::uint8_t status, std::uint32_t ret);
  RecordBuilder& return64(std::uint8_t status, std::uint64_t ret);
  // Appends already-encoded token bytes unchanged (tests: foreign tokens).
  RecordBuilder& raw(std::span<const std::uint8_t> tokenBytes);

  // Bytes added so far (header included, trailer not yet).
  std::size_t size() const { return buffer_.size(); }

  // Writes the size into the header, appends the trailer and hands over the
  // record. The builder is left empty; call reset() before reusing it.
  std::vector<std::uint8_t> finish();
  // The same, appending the record to `out` (whose capacity is reused) after
  // whatever it already holds. The builder keeps its buffer for reset().
  void finishInto(std::vector<std::uint8_t>& out);
  // The same without copying: the finished record stays in the builder and
  // stays valid until the next reset() or token call.
  std::span<const std::uint8_t> finishInPlace();

 private:
  void begin(std::uint16_t eventType, RecordTime time, std::uint16_t eventModifier);
  void close();
  void subject(std::uint8_t id, const SubjectFields& s, bool wide);
  void lengthString(std::string_view s);

  std::vector<std::uint8_t> buffer_;
};

// Encodes a standalone file token (trail start or end), which is an item of
// its own in a stream, outside any record.
std::vector<std::uint8_t> encodeFileToken(RecordTime time, std::string_view name);

// The return-token status byte for a Linux errno value (0 = success). BSM
// error numbers match Linux up to 34 and differ above; a number with no BSM
// counterpart becomes kUnknownError.
inline constexpr std::uint8_t kUnknownError = 250;
std::uint8_t bsmError(int linuxErrno);

}  // namespace procscope::bsm
