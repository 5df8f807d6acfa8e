// The Process record itself; the live-process fillers are in ProcessLive.cpp.
#include "procscope/Process.hpp"

#include "procscope/Utf8.hpp"

namespace procscope {

Process::Process() : timestamp_(Clock::now()) {}

std::shared_ptr<Process> Process::init() {
  return std::make_shared<Process>();
}

// Without the binary and signing information: the first record's are being
// set while this runs, and the copy gets its own.
std::shared_ptr<Process> Process::lateCopy() const {
  auto copy = std::make_shared<Process>();
  copy->setType(type());
  copy->setPid(pid());
  copy->setExit(exit());
  copy->setPpid(ppid());
  copy->setUid(uid());
  copy->path_ = path_;
  copy->pathBytes_ = pathBytes_;
  copy->ancestors_ = ancestors_;
  copy->arguments_ = arguments_;
  copy->timestamp_ = timestamp_;
  copy->identity_ = identity_;
  copy->sha256_ = sha256_;
  copy->earlier_ = shared_from_this();
  return copy;
}

void Process::setPathBytes(std::string bytes) {
  // Nearly every path is UTF-8 already: its text is its bytes, no copy made.
  if (isValidUtf8(bytes)) {
    pathBytes_.reset();
    path_ = std::move(bytes);
    return;
  }
  path_ = decodeLossy(bytes);
  pathBytes_ = std::move(bytes);
}

std::string Process::description() const {
  std::string out;
  out += "pid: " + std::to_string(pid()) + "\n";
  out += "path: " + orNull(path()) + "\n";
  out += "user: " + std::to_string(static_cast<std::int32_t>(uid())) + "\n";
  out += "args: " + describe(arguments()) + "\n";
  out += "ancestors: " + describe(ancestors()) + "\n";
  out +=
      " signing info: " + (signingInfo() ? describe(*signingInfo()) : std::string("(null)")) + "\n";
  out += " binary:\n" + (binary() ? binary()->description() : std::string("(null)"));
  return out;
}

}  // namespace procscope
