// stub: being written (executable inspection)
#include "procscope/Binary.hpp"

namespace procscope {
std::shared_ptr<Binary> Binary::init(const std::string& pathOrCommand) {
  auto b = std::make_shared<Binary>();
  b->setPath(pathOrCommand);
  return b;
}
void Binary::getBundle() {}
void Binary::getName() {}
void Binary::getBundleIndentifier() {}
void Binary::getAttributes() {}
void Binary::getMetadata() {}
void Binary::getIcon() {}
void Binary::generateSigningInfo(std::uint32_t) {}
void Binary::generateHash() {}
void Binary::generateIdentifier() {}
}  // namespace procscope
