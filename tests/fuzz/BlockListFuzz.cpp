// Fuzz target: the block-list reader. The input is the file's bytes, handed to
// parseBlockList; what it returns must be the file split at every comma (none
// when any byte is not 7-bit ASCII), and its description must be writable.
// Seeds: corpus/block-list.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzSupport.hpp"
#include "procblock/BlockList.hpp"

using fuzzsupport::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = fuzzsupport::asText(data, size);
  const std::optional<procblock::BlockList> list = procblock::parseBlockList(bytes);

  bool ascii = true;
  std::size_t commas = 0;
  for (std::size_t i = 0; i < size; ++i) {
    ascii = ascii && data[i] <= 0x7F;
    commas += data[i] == ',';
  }
  require(list.has_value() == ascii, "a list exactly when the bytes are ASCII");
  if (!list) return 0;

  require(list->size() == commas + 1, "one entry more than there are commas");
  std::string joined;
  for (std::size_t i = 0; i < list->size(); ++i) {
    if (i > 0) joined += ',';
    joined += (*list)[i];
  }
  require(joined == bytes, "the entries do not join back into the file");

  const std::string description =
      procblock::describeItems(std::make_shared<const procblock::BlockList>(*list));
  require(!description.empty(), "an empty description");
  return 0;
}
