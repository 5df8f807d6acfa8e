#include "procblock/EntryIndex.hpp"

#include <algorithm>
#include <limits>
#include <mutex>

namespace procblock {
namespace {

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

std::shared_ptr<const EntryIndex> indexFor(const std::shared_ptr<const BlockList>& list) {
  CachedIndex& cached = cachedIndex();
  std::lock_guard lock(cached.mu);
  if (!cached.index || cached.index->list != list) cached.index = buildIndex(list);
  return cached.index;
}

}  // namespace procblock
