// The application sweep, driven through a stand-in workspace.
#include <gtest/gtest.h>

#include <algorithm>

#include "SweepTestSupport.hpp"
#include "procblock/BlockList.hpp"
#include "procscope/Dispatch.hpp"

namespace procblock {
namespace {

using sweeptest::FakeApplication;

const std::string kUrl = "file:///opt/Viewer.app/Contents/MacOS/Viewer%20Pro";
const procscope::platform::WorkspaceNotification kLaunch{
    procscope::platform::kWillLaunchApplication, {}};

class Apps : public ::testing::Test {
 protected:
  ~Apps() override { setItems(std::nullopt); }

  std::shared_ptr<FakeApplication> add(std::optional<std::string> id,
                                       std::optional<std::string> name,
                                       std::optional<std::string> url, bool terminates = true) {
    auto app = std::make_shared<FakeApplication>(id, name, url, terminates);
    workspace_->applications.push_back(app);
    return app;
  }
  void post(const procscope::platform::WorkspaceNotification* notice = &kLaunch) {
    workspace_->postLaunch(notice);
    procscope::dispatch::waitIdle();
  }

  sweeptest::Reports reports_;
  std::shared_ptr<sweeptest::FakeWorkspace> workspace_ =
      std::make_shared<sweeptest::FakeWorkspace>();
  procscope::platform::ScopedService<procscope::platform::Workspace> installed_{workspace_};
};

TEST_F(Apps, EachEntryIsComparedWithIdentifierNameAndUrlText) {
  const struct {
    std::string entry;
    bool terminates;
    int terminations;
    std::size_t notices;
  } cases[] = {
      {"com.example.viewer", true, 1, 1},
      {"Viewer Pro", true, 1, 1},
      {kUrl, true, 1, 1},
      {"/opt/Viewer.app/Contents/MacOS/Viewer Pro", true, 0, 0},  // a plain path never matches
      {"com.example.VIEWER", true, 0, 0},
      {"Viewer Pro", false, 1, 0},  // a failed termination is not reported
  };
  auto other = add("org.other", "Other", "file:///opt/other");
  Block block;
  block.apps();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    sweeptest::Reports reports;
    auto app =
        std::make_shared<FakeApplication>("com.example.viewer", "Viewer Pro", kUrl, c.terminates);
    workspace_->applications = {other, app};
    setItems(BlockList{c.entry});
    post();
    EXPECT_EQ(app->terminations, c.terminations);
    ASSERT_EQ(reports.notices().size(), c.notices);
    if (c.notices > 0) {
      EXPECT_NE(reports.notices()[0].find("with Viewer Pro has"), std::string::npos);
    }
  }
  EXPECT_EQ(other->terminations, 0);
}

TEST_F(Apps, AnApplicationWithoutIdentifierIsJudgedByNameAndUrl) {
  auto named = add(std::nullopt, "Tool", std::nullopt);
  auto nameless = add(std::nullopt, std::nullopt, "file:///usr/bin/pbsw-tool");
  setItems(BlockList{"Tool", "file:///usr/bin/pbsw-tool", ""});
  Block block;
  block.apps();
  post();
  EXPECT_EQ(named->terminations, 1);
  EXPECT_EQ(nameless->terminations, 1);
  // The list's row, then one per termination, the nameless one's as (null).
  auto rows = reports_.rows();
  ASSERT_EQ(rows.size(), 3u);
  std::vector<std::string> names{rows[1].substr(rows[1].rfind('\t') + 2),
                                 rows[2].substr(rows[2].rfind('\t') + 2)};
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"(null)", "Tool"}));
}

TEST_F(Apps, EveryNoticeLogsTheListOnceForEachRegistration) {
  auto app = add("x", "pbsw-app", std::nullopt);
  Block block;
  EXPECT_EQ(block.workspace(), nullptr);
  block.apps();  // stores the workspace and observes launches
  EXPECT_EQ(block.workspace(), workspace_);
  ASSERT_EQ(workspace_->observers.size(), 1u);
  EXPECT_EQ(workspace_->observers[0].first, "NSWorkspaceWillLaunchApplicationNotification");
  post(nullptr);  // no notice: nothing at all
  EXPECT_TRUE(reports_.rows().empty());
  post();  // absent list: its row, and nothing checked
  setItems(BlockList{"pbsw-app", "b"});
  block.apps();
  post();  // two registrations: two rows, two full passes
  const auto rows = reports_.rows();
  ASSERT_EQ(rows.size(), 1u + 2u + 2u);  // passes and kills may interleave
  EXPECT_NE(rows[0].find("\t\t\t\t (null)"), std::string::npos) << rows[0];
  // The description's line ends are made visible, so it stays one row.
  const std::string list = "(\\n    \"pbsw-app\",\\n    b\\n)";
  EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                          [&](const std::string& row) { return row.ends_with(list); }),
            2);
  EXPECT_EQ(app->terminations, 2);
}

}  // namespace
}  // namespace procblock
