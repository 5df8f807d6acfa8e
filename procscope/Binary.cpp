// The Binary record itself; the fillers are in BinaryInspection.cpp.
#include "procscope/Binary.hpp"

namespace procscope {

std::string Binary::description() const {
  auto dict = [](const std::optional<Dictionary>& d) {
    return d ? describe(*d) : std::string("(null)");
  };
  return "name: " + orNull(name()) + "\npath: " + orNull(path()) +
         "\nattributes: " + dict(attributes()) + "\nsigning info: " + dict(signingInfo());
}

}  // namespace procscope
