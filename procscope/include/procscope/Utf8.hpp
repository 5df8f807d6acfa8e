// Paths and arguments on Linux are bytes; the records hold UTF-8 text.
#pragma once

#include <string>
#include <string_view>

namespace procscope {

bool isValidUtf8(std::string_view bytes);
// Invalid sequences become U+FFFD, so the text is never lost.
std::string decodeLossy(std::string_view bytes);

}  // namespace procscope
