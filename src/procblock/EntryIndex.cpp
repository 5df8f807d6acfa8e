#include "procblock/EntryIndex.hpp"

#include <algorithm>
#include <atomic>
#include <limits>

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

std::atomic<std::shared_ptr<const EntryIndex>>& cachedIndex() {
  static std::atomic<std::shared_ptr<const EntryIndex>> instance;
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
  auto index = cachedIndex().load(std::memory_order_acquire);
  if (index && index->list == list) return index;
  index = buildIndex(list);
  cachedIndex().store(index, std::memory_order_release);
  return index;
}

}  // namespace procblock
