// stub: being written (live-process queries)
#include "procscope/Process.hpp"

namespace procscope {
std::shared_ptr<Process> Process::init(std::int32_t) { return nullptr; }
std::int32_t Process::getParentID(std::int32_t) { return -1; }
void Process::getUser() {}
void Process::pathFromPid() {}
void Process::getArgs() {}
void Process::enumerateAncestors() {}
bool Process::isProcessAlive() const { return false; }
void Process::generateSigningInfo(std::uint32_t) {}
}  // namespace procscope
