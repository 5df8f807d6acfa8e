// The BSM token parser. Every field is checked against the bytes left before
// it is read; a field that does not fit fails the token. Nothing allocates:
// strings are views into the caller's buffer.
#include "procscope/bsm/Token.hpp"

#include <cstring>
#include <limits>

namespace procscope::bsm {
namespace {

// A bounds-checked big-endian reader over the bytes of one token.
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t left) : p_(data), end_(data + left) {}

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
  const std::uint8_t* position() const { return p_; }
  bool has(std::size_t n) const { return n <= remaining(); }

  bool skip(std::size_t n) {
    if (!has(n)) return false;
    p_ += n;
    return true;
  }

  // Unchecked reads, for use after has() covered them.
  std::uint8_t take8() { return *p_++; }
  std::uint16_t take16() {
    const auto v = static_cast<std::uint16_t>((p_[0] << 8) | p_[1]);
    p_ += 2;
    return v;
  }
  std::uint32_t take32() {
    const std::uint32_t v = (std::uint32_t{p_[0]} << 24) | (std::uint32_t{p_[1]} << 16) |
                            (std::uint32_t{p_[2]} << 8) | std::uint32_t{p_[3]};
    p_ += 4;
    return v;
  }
  std::uint64_t take64() {
    const std::uint64_t hi = take32();
    return (hi << 32) | take32();
  }

  // Checked reads: false, and nothing read, when the field does not fit.
  bool u8(std::uint8_t& v) { return has(1) && (v = take8(), true); }
  bool u16(std::uint16_t& v) { return has(2) && (v = take16(), true); }
  bool u32(std::uint32_t& v) { return has(4) && (v = take32(), true); }
  bool u64(std::uint64_t& v) { return has(8) && (v = take64(), true); }
  bool bytes(void* out, std::size_t n) {
    if (!has(n)) return false;
    std::memcpy(out, p_, n);
    p_ += n;
    return true;
  }
  // `u16 N` then N bytes; the view is cut at the first NUL inside them.
  bool counted(std::string_view& out, bool cutAtNul = true) {
    std::uint16_t n = 0;
    if (!u16(n) || !has(n)) return false;
    out = view(p_, n, cutAtNul);
    p_ += n;
    return true;
  }
  // `u16 N` then N bytes, not looked at.
  bool skipCounted() {
    std::uint16_t n = 0;
    return u16(n) && skip(n);
  }

  static std::string_view view(const std::uint8_t* p, std::size_t n, bool cutAtNul) {
    const char* s = reinterpret_cast<const char*>(p);
    if (cutAtNul) {
      if (const void* nul = std::memchr(s, 0, n))
        n = static_cast<std::size_t>(static_cast<const char*>(nul) - s);
    }
    return {s, n};
  }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

// Header address type: 4 or 16 bytes of address, anything else none.
std::size_t headerAddressLength(std::uint32_t type) {
  return type == 4 || type == 16 ? type : 0;
}

bool header(Cursor& c, Token::Header& h, bool ex, bool wide) {
  const std::size_t timeBytes = wide ? 16 : 8;
  if (!c.has(9 + (ex ? 4 : timeBytes))) return false;
  h.size = c.take32();
  h.version = c.take8();
  h.e_type = c.take16();
  h.e_mod = c.take16();
  h.ad_type = 0;
  if (ex) {
    h.ad_type = c.take32();
    if (!c.skip(headerAddressLength(h.ad_type)) || !c.has(timeBytes)) return false;
  }
  h.s = wide ? c.take64() : c.take32();
  h.ms = wide ? c.take64() : c.take32();
  return true;
}

// Subject and process tokens: seven u32 ids, then the terminal id.
bool subject(Cursor& c, Token::Subject& s, bool widePort, bool ex) {
  // Everything up to the address, whose length an _ex token gives.
  if (!c.has(28 + (widePort ? 8 : 4) + (ex ? 4 : 0))) return false;
  s.auid = c.take32();
  s.euid = c.take32();
  s.egid = c.take32();
  s.ruid = c.take32();
  s.rgid = c.take32();
  s.pid = c.take32();
  s.sid = c.take32();
  s.tid.port = widePort ? c.take64() : c.take32();
  s.tid.type = ex ? c.take32() : 4;
  if (s.tid.type != 4 && s.tid.type != 16) return false;
  return c.bytes(s.tid.addr.data(), s.tid.type);
}

bool arg(Cursor& c, Token::Arg& a, bool wide) {
  if (!c.u8(a.no)) return false;
  if (wide) {
    if (!c.u64(a.val)) return false;
  } else {
    std::uint32_t v = 0;
    if (!c.u32(v)) return false;
    a.val = v;
  }
  return c.counted(a.text);
}

// `u32 count` then count NUL-terminated strings, found only by scanning. All
// of them must end inside the buffer; the first kMaxExecArgs are kept.
bool execStrings(Cursor& c, Token::ExecArgs& e) {
  std::uint32_t count = 0;
  if (!c.u32(count)) return false;
  const char* p = reinterpret_cast<const char*>(c.position());
  const char* const end = p + c.remaining();
  std::uint32_t kept = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const void* nul = std::memchr(p, 0, static_cast<std::size_t>(end - p));
    if (nul == nullptr) return false;
    const char* stop = static_cast<const char*>(nul);
    if (kept < kMaxExecArgs)
      e.text[kept++] = std::string_view(p, static_cast<std::size_t>(stop - p));
    p = stop + 1;
  }
  e.count = kept;
  e.total = count;
  return c.skip(static_cast<std::size_t>(p - reinterpret_cast<const char*>(c.position())));
}

bool socketEx(Cursor& c) {
  std::uint16_t atype = 0;
  if (!c.skip(4) || !c.u16(atype)) return false;
  if (atype != 4 && atype != 16) return false;
  return c.skip(2u + atype + 2u + atype);
}

bool sockUnix(Cursor& c) {
  if (!c.skip(2)) return false;
  const std::size_t window = c.remaining() < 108 ? c.remaining() : 108;
  const void* nul = std::memchr(c.position(), 0, window);
  const std::size_t n =
      nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - c.position()) + 1
          : window;
  return c.skip(n);
}

bool data(Cursor& c) {
  std::uint8_t how = 0, unit = 0, count = 0;
  if (!c.u8(how) || !c.u8(unit) || !c.u8(count) || unit > 3) return false;
  return c.skip(std::size_t{count} << unit);
}

// Returns false when the token does not parse; `c` then ends at the token's end.
bool parseBody(std::uint8_t id, Cursor& c, Token& t, std::size_t left) {
  switch (id) {
    case AUT_HEADER32:
      return header(c, t.header, false, false);
    case AUT_HEADER32_EX:
      return header(c, t.header, true, false);
    case AUT_HEADER64:
      return header(c, t.header, false, true);
    case AUT_HEADER64_EX:
      return header(c, t.header, true, true);

    case AUT_SUBJECT32:
      return subject(c, t.subject, false, false);
    case AUT_SUBJECT64:
      return subject(c, t.subject, true, false);
    case AUT_SUBJECT32_EX:
      return subject(c, t.subject, false, true);
    case AUT_SUBJECT64_EX:
      return subject(c, t.subject, true, true);
    case AUT_PROCESS32:
      return subject(c, t.process, false, false);
    case AUT_PROCESS64:
      return subject(c, t.process, true, false);
    case AUT_PROCESS32_EX:
      return subject(c, t.process, false, true);
    case AUT_PROCESS64_EX:
      return subject(c, t.process, true, true);

    case AUT_ARG32:
      return arg(c, t.arg, false);
    case AUT_ARG64:
      return arg(c, t.arg, true);
    case AUT_PATH:
      return c.counted(t.path.path);
    case AUT_EXEC_ARGS:
    case AUT_EXEC_ENV:
      return execStrings(c, t.execArgs);
    case AUT_EXIT:
      return c.u32(t.exit.status) && c.u32(t.exit.ret);
    case AUT_RETURN32: {
      std::uint32_t ret = 0;
      if (!c.u8(t.ret.status) || !c.u32(ret)) return false;
      t.ret.ret = ret;
      return true;
    }
    case AUT_RETURN64:
      return c.u8(t.ret.status) && c.u64(t.ret.ret);
    case AUT_TRAILER:
      return c.u16(t.trailer.magic) && c.u32(t.trailer.count);
    case AUT_FILE:
      return c.u32(t.file.s) && c.u32(t.file.ms) && c.counted(t.file.name);
    case AUT_TEXT:
    case AUT_ZONENAME:
      return c.counted(t.text.text);
    case AUT_OPAQUE:
      return c.counted(t.text.text, false);

    // Sized only.
    case AUT_DATA:
      return data(c);
    case AUT_IPC:
      return c.skip(5);
    case AUT_IN_ADDR:
    case AUT_SEQ:
      return c.skip(4);
    case AUT_IP:
      return c.skip(20);
    case AUT_IPORT:
      return c.skip(2);
    case AUT_SOCKET:
      return c.skip(14);
    case AUT_IPC_PERM:
      return c.skip(28);
    case AUT_PRIVSET:
      return c.skipCounted() && c.skipCounted();
    case AUT_UPRIV:
      return c.skip(1) && c.skipCounted();
    case AUT_NEWGROUPS: {
      // The whole announced list, so that the walk stays in step even past
      // 16 groups.
      std::uint16_t n = 0;
      return c.u16(n) && c.skip(std::size_t{n} * 4);
    }
    case AUT_ATTR32:
      return c.skip(28);
    case AUT_ATTR64:
      return c.skip(32);
    case AUT_IN_ADDR_EX: {
      std::uint32_t type = 0;
      return c.u32(type) && (type == 4 || type == 16) && c.skip(type);
    }
    case AUT_SOCKET_EX:
      return socketEx(c);
    case AUT_SOCKINET32:
      return c.skip(8);
    case AUT_SOCKINET128:
      return c.skip(20);
    case AUT_SOCKUNIX:
      return sockUnix(c);
    case AUT_ARG_UUID:
    case AUT_RETURN_UUID:
      return c.skip(17) && c.skipCounted();

    default:
      // An id with no decoder: take everything but the last 7 bytes, where a
      // record's trailer sits, so that a record from a newer writer still
      // reaches its trailer.
      if (left <= 8) return false;
      return c.skip(left - 8);
  }
}

}  // namespace

int fetchToken(Token& token, const std::uint8_t* data, std::size_t left) {
  token.len = 0;
  if (data == nullptr || left == 0) return -1;
  token.id = data[0];
  Cursor c(data + 1, left - 1);
  if (!parseBody(token.id, c, token, left)) return -1;
  const std::size_t len = static_cast<std::size_t>(c.position() - data);
  if (len > std::numeric_limits<std::uint32_t>::max()) return -1;
  token.len = static_cast<std::uint32_t>(len);
  return 0;
}

}  // namespace procscope::bsm
