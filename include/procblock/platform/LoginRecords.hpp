// The source of the logged-on user names: what the `users` utility prints,
// one name for each login, separated by single spaces, with a line feed
// after the last (nothing at all when nobody is logged on). The Linux backend
// reads the login records itself: Debian's `users` takes any argument as the
// name of a records file.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "procscope/platform/Service.hpp"

namespace procblock::platform {

class LoginRecordSource {
 public:
  virtual ~LoginRecordSource() = default;
  // None when the source failed in a way already logged.
  virtual std::optional<std::string> usersOutput() = 0;
};

using LoginRecords = procscope::platform::Service<LoginRecordSource>;

// What `users` prints for these names.
std::string formatUsersOutput(const std::vector<std::string>& names);

// A source that runs a program through GetOutputForExecution: the platform's
// own `users` where it behaves, or a stand-in.
std::shared_ptr<LoginRecordSource> makeProgramLoginRecords(std::string path,
                                                           std::vector<std::string> arguments);

}  // namespace procblock::platform

namespace procscope::platform {
template <>
std::shared_ptr<procblock::platform::LoginRecordSource>
makeDefaultService<procblock::platform::LoginRecordSource>();
}  // namespace procscope::platform
