// Where each entry text stands in one block list, so that finding the
// entries equal to a value costs a lookup rather than a pass over the list.
// The verdict and the sweep of running processes both judge through it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "procblock/BlockList.hpp"

namespace procblock {

struct EntryIndex {
  using Positions = std::vector<std::int32_t>;
  using Range = std::pair<Positions::const_iterator, Positions::const_iterator>;

  // Held so that the positions below stay valid and the list's identity is
  // not reused by another list while this index is cached.
  std::shared_ptr<const BlockList> list;
  // Entry positions sorted by entry text: four bytes an entry, so that a list
  // of a hundred thousand entries costs the agent little memory.
  Positions order;

  // The positions of the entries that name a program by its digest
  // (isDigestEntry), sorted by their upper-case form.
  Positions digests;

  // The positions of the entries equal to `value`, in list order.
  Range find(std::string_view value) const;
  // The positions of the digest entries for `sha256` (upper-case
  // hexadecimal, as procscope::digest gives it), in list order.
  Range findDigest(std::string_view sha256) const;
};

// Whether `entry` names a program by the SHA-256 of its file: exactly 64
// hexadecimal digits, in either case. (It still matches a name, path or
// bundle identifier equal to it, as any entry does.)
bool isDigestEntry(std::string_view entry);
// Whether digest entry `entry` (either case) is `sha256` (upper case).
bool isDigestOf(std::string_view entry, const std::optional<std::string>& sha256);

// The index of `list`, built on first use and kept for the list last asked
// about. The list is set once at start-up, so this builds once.
std::shared_ptr<const EntryIndex> indexFor(const std::shared_ptr<const BlockList>& list);

}  // namespace procblock
