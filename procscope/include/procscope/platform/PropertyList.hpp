// Property lists in XML or binary form, read with libplist into Values.
#pragma once

#include <optional>
#include <string_view>

#include "procscope/Value.hpp"

namespace procscope::platform {

// Larger inputs are refused: no real information dictionary comes near it.
inline constexpr std::size_t kMaxPropertyListBytes = 1 << 20;

// None when the bytes are no property list, or one whose shape (nesting, or a
// binary list whose shared objects would expand without bound) could exhaust
// the stack or memory of the reader.
std::optional<Value> parsePropertyList(std::string_view bytes);

// Exposed for tests: whether a binary property list's object graph is
// readable, acyclic, at most `maxDepth` deep and expands to at most
// `maxNodes` nodes.
bool binaryPropertyListWithinLimits(std::string_view bytes, std::size_t maxDepth,
                                    std::size_t maxNodes);

}  // namespace procscope::platform
