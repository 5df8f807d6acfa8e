// The agent under the service unit's restrictions, each applied as far as
// it can be without systemd: it must still kill, notice and log, so a
// protection that would stop it is caught here rather than on a machine.
#include "e2e/E2eSupport.hpp"

namespace e2e {
namespace {

struct Restriction {
  const char* label;
  AgentOptions options;
};

void PrintTo(const Restriction& r, std::ostream* out) {
  *out << r.label;
}

class ServiceRestrictionsTest : public AgentTest,
                                public ::testing::WithParamInterface<Restriction> {};

TEST_P(ServiceRestrictionsTest, AgentStillKillsNoticesAndLogs) {
  if (GetParam().options.unitAddressFamilies && !canRestrictAddressFamilies()) {
    GTEST_SKIP() << "no seccomp filter for this architecture here";
  }
  const std::string forbidden = makeProgram();
  writeList(canaryName_ + "," + nameOf(forbidden));
  startAgent(GetParam().options);
  ASSERT_TRUE(agentIsLive()) << context();

  const pid_t pid = children_.startInSession(forbidden);
  EXPECT_TRUE(killedBySigkill(pid));
  EXPECT_TRUE(accessRowsFor(nameOf(forbidden)));
  EXPECT_TRUE(waitForDiagnostic("Blocking process with name: " + nameOf(forbidden)));
  // Without a desktop the notice is a diagnostic line; with one, a child of
  // the agent's takes it to the user's session bus.
  EXPECT_TRUE(waitForDiagnostic("in correlation with " + nameOf(forbidden)) ||
              waitForDiagnostic("Desktop notice"))
      << context();
  EXPECT_TRUE(agent_.running());
}

AgentOptions restricted(bool capabilities, bool readOnlySystem, bool addressFamilies) {
  AgentOptions options;
  options.unitCapabilities = capabilities;
  options.readOnlySystem = readOnlySystem;
  options.unitAddressFamilies = addressFamilies;
  return options;
}

INSTANTIATE_TEST_SUITE_P(
    Unit, ServiceRestrictionsTest,
    ::testing::Values(Restriction{"CapabilityBoundingSet", restricted(true, false, false)},
                      Restriction{"ReadOnlySystemButLogs", restricted(false, true, false)},
                      Restriction{"AddressFamilies", restricted(false, false, true)},
                      Restriction{"AllTogether", restricted(true, true, true)}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace e2e
