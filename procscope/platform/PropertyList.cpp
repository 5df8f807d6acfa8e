// Property lists read with libplist. Any user can put an Info.plist on the
// machine and then start the executable beside it, so the bytes are hostile:
// libplist 2.2 recurses once per nesting level and copies a binary list's
// shared objects at every reference, so a few hundred crafted bytes could
// overflow the stack or expand without bound. The shape is checked first.
#include "procscope/platform/PropertyList.hpp"

#include <plist/plist.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace procscope::platform {

namespace {

// Far beyond any real information dictionary, far below what the stack and
// memory of the agent's threads can bear.
constexpr std::size_t kMaxDepth = 256;
constexpr std::size_t kMaxNodes = 100000;
constexpr std::size_t kMaxXmlContainers = 10000;

// Property-list dates count from 2001-01-01 00:00:00 UTC.
constexpr std::int64_t kReferenceDateUnixSeconds = 978307200;

std::uint64_t bigEndian(const unsigned char* p, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

bool isBinary(std::string_view bytes) {
  return bytes.substr(0, 6) == "bplist";
}

// XML has no shared objects, so the number of containers bounds both the
// nesting and the work; libplist's XML reader itself does not recurse.
bool xmlWithinLimits(std::string_view bytes) {
  std::size_t containers = 0;
  for (std::string_view tag : {"<array", "<dict"}) {
    for (auto at = bytes.find(tag); at != std::string_view::npos; at = bytes.find(tag, at + 1)) {
      if (++containers > kMaxXmlContainers) return false;
    }
  }
  return true;
}

class Converter {
 public:
  std::optional<Value> convert(plist_t node, std::size_t depth) {
    if (depth > kMaxDepth || ++nodes_ > kMaxNodes) return std::nullopt;
    switch (plist_get_node_type(node)) {
      case PLIST_BOOLEAN: {
        std::uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return Value(b != 0);
      }
      case PLIST_UINT:
      case PLIST_UID: {
        std::uint64_t v = 0;
        if (plist_get_node_type(node) == PLIST_UINT) {
          plist_get_uint_val(node, &v);
        } else {
          plist_get_uid_val(node, &v);
        }
        // libplist keeps negative integers in two's complement.
        return Value(static_cast<std::int64_t>(v));
      }
      case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return Value(d);
      }
      case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* s = plist_get_string_ptr(node, &length);
        return Value(s ? std::string(s, length) : std::string());
      }
      case PLIST_KEY: {
        char* s = nullptr;
        plist_get_key_val(node, &s);
        std::unique_ptr<char, decltype(&std::free)> owned(s, &std::free);
        return Value(s ? std::string(s) : std::string());
      }
      case PLIST_DATE: {
        std::int32_t sec = 0;
        std::int32_t usec = 0;
        plist_get_date_val(node, &sec, &usec);
        auto when = std::chrono::system_clock::time_point(
            std::chrono::seconds(kReferenceDateUnixSeconds + sec) +
            std::chrono::microseconds(usec));
        return Value(Date{when});
      }
      case PLIST_DATA: {
        std::uint64_t length = 0;
        const char* p = plist_get_data_ptr(node, &length);
        const auto* b = reinterpret_cast<const std::uint8_t*>(p);
        return Value(p ? Data(b, b + length) : Data());
      }
      case PLIST_ARRAY: {
        Array out;
        std::uint32_t n = plist_array_get_size(node);
        out.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i) {
          auto item = convert(plist_array_get_item(node, i), depth + 1);
          if (!item) return std::nullopt;
          out.push_back(std::move(*item));
        }
        return Value(std::move(out));
      }
      case PLIST_DICT: {
        Dictionary out;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        std::unique_ptr<void, decltype(&std::free)> ownedIter(iter, &std::free);
        for (;;) {
          char* key = nullptr;
          plist_t child = nullptr;
          plist_dict_next_item(node, iter, &key, &child);
          std::unique_ptr<char, decltype(&std::free)> ownedKey(key, &std::free);
          if (!child) break;
          auto item = convert(child, depth + 1);
          if (!item) return std::nullopt;
          out.insert_or_assign(key ? std::string(key) : std::string(), std::move(*item));
        }
        return Value(std::move(out));
      }
      default:
        return std::nullopt;
    }
  }

 private:
  std::size_t nodes_ = 0;
};

}  // namespace

bool binaryPropertyListWithinLimits(std::string_view bytes, std::size_t maxDepth,
                                    std::size_t maxNodes) {
  // Header "bplist00", objects, offset table, 32-byte trailer.
  constexpr std::size_t kTrailer = 32;
  if (bytes.size() < 8 + kTrailer || !isBinary(bytes)) return false;
  const auto* base = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  const unsigned char* trailer = base + size - kTrailer;
  const std::size_t offsetWidth = trailer[6];
  const std::size_t refWidth = trailer[7];
  const std::uint64_t objectCount = bigEndian(trailer + 8, 8);
  const std::uint64_t top = bigEndian(trailer + 16, 8);
  const std::uint64_t tableOffset = bigEndian(trailer + 24, 8);
  if (offsetWidth < 1 || offsetWidth > 8 || refWidth < 1 || refWidth > 8) return false;
  if (objectCount == 0 || objectCount > size || top >= objectCount) return false;
  if (tableOffset < 8 || tableOffset > size - kTrailer) return false;
  if ((size - kTrailer - tableOffset) / offsetWidth < objectCount) return false;

  const auto count = static_cast<std::size_t>(objectCount);
  auto objectAt = [&](std::size_t index) -> std::optional<std::size_t> {
    std::uint64_t at = bigEndian(base + tableOffset + index * offsetWidth, offsetWidth);
    if (at < 8 || at >= tableOffset) return std::nullopt;
    return static_cast<std::size_t>(at);
  };
  // The references an object holds: where they start and how many.
  struct Refs {
    std::size_t start = 0;
    std::size_t count = 0;
  };
  auto refsOf = [&](std::size_t index) -> std::optional<Refs> {
    auto at = objectAt(index);
    if (!at) return std::nullopt;
    const unsigned kind = base[*at] >> 4;
    // Arrays, ordered sets, sets and dictionaries hold references; nothing else does.
    if (kind != 0xA && kind != 0xB && kind != 0xC && kind != 0xD) return Refs{};
    std::uint64_t n = base[*at] & 0x0F;
    std::size_t pos = *at + 1;
    if (n == 0x0F) {
      if (pos >= tableOffset || (base[pos] >> 4) != 0x1) return std::nullopt;
      const std::size_t width = std::size_t{1} << (base[pos] & 0x0F);
      if (width > 8 || pos + 1 + width > tableOffset) return std::nullopt;
      n = bigEndian(base + pos + 1, width);
      pos += 1 + width;
    }
    if (n > size) return std::nullopt;
    if (kind == 0xD) n *= 2;  // keys, then values
    if (n > (tableOffset - pos) / refWidth) return std::nullopt;
    return Refs{pos, static_cast<std::size_t>(n)};
  };
  auto refAt = [&](const Refs& refs, std::size_t i) {
    return bigEndian(base + refs.start + i * refWidth, refWidth);
  };
  // libplist asserts (and so aborts the agent) on a dictionary key whose
  // UTF-16 text holds a zero unit; such a file is refused as damaged. Any
  // UTF-16 string with one is refused: none belongs in an Info.plist.
  auto utf16HoldsZero = [&](std::size_t index) {
    auto at = objectAt(index);
    if (!at || (base[*at] >> 4) != 0x6) return false;
    std::uint64_t n = base[*at] & 0x0F;
    std::size_t pos = *at + 1;
    if (n == 0x0F) {
      if (pos >= tableOffset || (base[pos] >> 4) != 0x1) return true;
      const std::size_t width = std::size_t{1} << (base[pos] & 0x0F);
      if (width > 8 || pos + 1 + width > tableOffset) return true;
      n = bigEndian(base + pos + 1, width);
      pos += 1 + width;
    }
    if (n > (tableOffset - pos) / 2) return true;
    for (std::uint64_t i = 0; i < n; ++i) {
      if (base[pos + 2 * i] == 0 && base[pos + 2 * i + 1] == 0) return true;
    }
    return false;
  };
  for (std::size_t i = 0; i < count; ++i) {
    if (utf16HoldsZero(i)) return false;
  }

  // Depth-first over the object graph with an explicit stack, counting for
  // each object the nodes it expands to and the depth below it.
  enum class State : std::uint8_t { kNew, kOpen, kDone };
  std::vector<State> state(count, State::kNew);
  std::vector<std::size_t> nodes(count, 0);
  std::vector<std::size_t> height(count, 0);
  struct Frame {
    std::size_t object;
    Refs refs;
    std::size_t next;
  };
  std::vector<Frame> stack;
  auto open = [&](std::size_t index) {
    auto refs = refsOf(index);
    if (!refs) return false;
    state[index] = State::kOpen;
    stack.push_back({index, *refs, 0});
    return stack.size() <= maxDepth;
  };
  if (!open(static_cast<std::size_t>(top))) return false;
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next < f.refs.count) {
      std::uint64_t child = refAt(f.refs, f.next++);
      if (child >= count) return false;
      const auto c = static_cast<std::size_t>(child);
      if (state[c] == State::kOpen) return false;  // a cycle
      if (state[c] == State::kNew && !open(c)) return false;
      continue;
    }
    std::size_t total = 1;
    std::size_t below = 0;
    for (std::size_t i = 0; i < f.refs.count; ++i) {
      const auto c = static_cast<std::size_t>(refAt(f.refs, i));
      total += nodes[c];
      if (total > maxNodes) return false;
      below = std::max(below, height[c]);
    }
    nodes[f.object] = total;
    height[f.object] = below + 1;
    if (height[f.object] > maxDepth) return false;
    state[f.object] = State::kDone;
    stack.pop_back();
  }
  return true;
}

std::optional<Value> parsePropertyList(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxPropertyListBytes) return std::nullopt;
  if (isBinary(bytes) ? !binaryPropertyListWithinLimits(bytes, kMaxDepth, kMaxNodes)
                      : !xmlWithinLimits(bytes)) {
    return std::nullopt;
  }
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  if (!root) return std::nullopt;
  std::unique_ptr<void, decltype(&plist_free)> owned(root, &plist_free);
  return Converter().convert(root, 0);
}

}  // namespace procscope::platform
