#include "procblock/EntryIndex.hpp"

#include <algorithm>
#include <limits>
#include <mutex>

namespace procblock {
namespace {

char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool lessIgnoringCase(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return upper(x) < upper(y); });
}

std::shared_ptr<const EntryIndex> buildIndex(std::shared_ptr<const BlockList> list) {
  auto index = std::make_shared<EntryIndex>();
  const size_t count =
      std::min(list->size(), static_cast<size_t>(std::numeric_limits<std::int32_t>::max()));
  index->order.resize(count);
  for (size_t i = 0; i < count; ++i) index->order[i] = static_cast<std::int32_t>(i);
  const BlockList& entries = *list;
  std::stable_sort(index->order.begin(), index->order.end(), [&](std::int32_t a, std::int32_t b) {
    return entries[static_cast<size_t>(a)] < entries[static_cast<size_t>(b)];
  });
  // Pushed in list order, which the stable sort keeps among equal digests.
  for (size_t i = 0; i < count; ++i) {
    if (isDigestEntry(entries[i])) index->digests.push_back(static_cast<std::int32_t>(i));
  }
  std::stable_sort(
      index->digests.begin(), index->digests.end(), [&](std::int32_t a, std::int32_t b) {
        return lessIgnoringCase(entries[static_cast<size_t>(a)], entries[static_cast<size_t>(b)]);
      });
  index->list = std::move(list);
  return index;
}

// The index of the latest list, behind a plain lock: it is taken once per
// event, uncontended but for a sweep's tasks, and held while a new list's
// index is built so that concurrent callers build it once.
struct CachedIndex {
  std::mutex mu;
  std::shared_ptr<const EntryIndex> index;
};

CachedIndex& cachedIndex() {
  static CachedIndex instance;
  return instance;
}

}  // namespace

EntryIndex::Range EntryIndex::find(std::string_view value) const {
  struct ByText {
    const BlockList& entries;
    bool operator()(std::int32_t a, std::string_view b) const {
      return std::string_view(entries[static_cast<size_t>(a)]) < b;
    }
    bool operator()(std::string_view a, std::int32_t b) const {
      return a < std::string_view(entries[static_cast<size_t>(b)]);
    }
  };
  return std::equal_range(order.begin(), order.end(), value, ByText{*list});
}

EntryIndex::Range EntryIndex::findDigest(std::string_view sha256) const {
  struct ByDigest {
    const BlockList& entries;
    bool operator()(std::int32_t a, std::string_view b) const {
      return lessIgnoringCase(entries[static_cast<size_t>(a)], b);
    }
    bool operator()(std::string_view a, std::int32_t b) const {
      return lessIgnoringCase(a, entries[static_cast<size_t>(b)]);
    }
  };
  return std::equal_range(digests.begin(), digests.end(), sha256, ByDigest{*list});
}

bool isDigestEntry(std::string_view entry) {
  return entry.size() == 64 && std::all_of(entry.begin(), entry.end(), [](char c) {
           return (c >= '0' && c <= '9') || (upper(c) >= 'A' && upper(c) <= 'F');
         });
}

bool isDigestOf(std::string_view entry, const std::optional<std::string>& sha256) {
  return sha256 && isDigestEntry(entry) &&
         std::equal(entry.begin(), entry.end(), sha256->begin(), sha256->end(),
                    [](char e, char d) { return upper(e) == d; });
}

std::shared_ptr<const EntryIndex> indexFor(const std::shared_ptr<const BlockList>& list) {
  CachedIndex& cached = cachedIndex();
  std::lock_guard lock(cached.mu);
  if (!cached.index || cached.index->list != list) cached.index = buildIndex(list);
  return cached.index;
}

}  // namespace procblock
