#include "procblock/LogPaths.hpp"

#include <atomic>
#include <string_view>
#include <utility>

namespace procblock {
namespace {

// The only place the log locations are spelled out.
constexpr std::string_view kLogDirectory = "/Library/Corventa/Tessor_Agent/logs";
constexpr std::string_view kAccessLogName = "vornikaccess.log";
constexpr std::string_view kDiagnosticLogName = "vornik.log";

std::atomic<std::shared_ptr<const std::string>>& directoryOverride() {
  static std::atomic<std::shared_ptr<const std::string>> instance;
  return instance;
}

std::string inLogDirectory(std::string_view name) {
  std::string path = logDirectory();
  path += '/';
  path += name;
  return path;
}

}  // namespace

std::string logDirectory() {
  if (auto dir = directoryOverride().load(std::memory_order_acquire)) return *dir;
  return std::string(kLogDirectory);
}

std::string accessLogPath() {
  return inLogDirectory(kAccessLogName);
}

std::string diagnosticLogPath() {
  return inLogDirectory(kDiagnosticLogName);
}

ScopedLogDirectory::ScopedLogDirectory(std::string directory)
    : previous_(directoryOverride().exchange(
          std::make_shared<const std::string>(std::move(directory)), std::memory_order_acq_rel)) {}

ScopedLogDirectory::~ScopedLogDirectory() {
  directoryOverride().store(std::move(previous_), std::memory_order_release);
}

}  // namespace procblock
