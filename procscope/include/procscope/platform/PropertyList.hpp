// Property lists in XML or binary form, read with libplist into Values.
#pragma once

#include <optional>
#include <string_view>

#include "procscope/Value.hpp"

namespace procscope::platform {

// Larger inputs are refused: no real information dictionary comes near it,
// and one is read for each enclosing bundle at a program's start.
inline constexpr std::size_t kMaxPropertyListBytes = std::size_t{256} << 10;

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
