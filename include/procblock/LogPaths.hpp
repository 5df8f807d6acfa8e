// Where the agent's two logs live. The directory is fixed; the agent expects
// it to exist and never creates it.
#pragma once

#include <memory>
#include <string>

namespace procblock {

std::string logDirectory();
// "<log directory>/vornikaccess.log": the administrators' table of blocks.
std::string accessLogPath();
// "<log directory>/vornik.log": standard error from start-up on.
std::string diagnosticLogPath();

// Points both logs at another directory for the lifetime of a scope, so that
// unit tests never touch the real logs. Nothing in the agent creates one.
class ScopedLogDirectory {
 public:
  explicit ScopedLogDirectory(std::string directory);
  ~ScopedLogDirectory();
  ScopedLogDirectory(const ScopedLogDirectory&) = delete;
  ScopedLogDirectory& operator=(const ScopedLogDirectory&) = delete;

 private:
  std::shared_ptr<const std::string> previous_;
};

}  // namespace procblock
