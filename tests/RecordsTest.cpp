#include <gtest/gtest.h>

#include "procscope/Binary.hpp"
#include "procscope/Process.hpp"

using namespace procscope;

TEST(ProcessRecord, FreshRecordHoldsTheUnsetValues) {
  auto before = Process::Clock::now();
  auto p = Process::init();
  EXPECT_EQ(p->type(), 0);
  EXPECT_EQ(p->pid(), -1);
  EXPECT_EQ(p->ppid(), -1);
  EXPECT_EQ(p->uid(), 0xFFFFFFFFu);
  EXPECT_EQ(p->exit(), 0xFFFFFFFFu);
  EXPECT_TRUE(p->arguments().empty());
  EXPECT_TRUE(p->ancestors().empty());
  EXPECT_FALSE(p->path());
  EXPECT_FALSE(p->signingInfo());
  EXPECT_FALSE(p->binary());
  EXPECT_GE(p->timestamp(), before);
  EXPECT_LE(p->timestamp(), Process::Clock::now());
}

TEST(ProcessRecord, DescriptionOfFreshRecord) {
  auto p = Process::init();
  EXPECT_EQ(p->description(),
            "pid: -1\npath: (null)\nuser: -1\nargs: (\n)\nancestors: (\n)\n"
            " signing info: (null)\n binary:\n(null)");
}

TEST(ProcessRecord, DescriptionOfFilledRecord) {
  auto p = Process::init();
  p->setPid(42);
  p->setUid(501);
  p->setPath("/bin/ls");
  p->setArguments({"ls", "-l"});
  p->setAncestors({1});
  p->setSigningInfo(Dictionary{{"signatureStatus", Value(-67062)}});
  auto b = std::make_shared<Binary>();
  b->setName("ls");
  b->setPath("/bin/ls");
  p->setBinary(b);
  EXPECT_EQ(p->description(),
            "pid: 42\npath: /bin/ls\nuser: 501\nargs: (\n    ls,\n    \"-l\"\n)\n"
            "ancestors: (\n    1\n)\n signing info: {\n    signatureStatus = -67062;\n}\n"
            " binary:\nname: ls\npath: /bin/ls\nattributes: (null)\nsigning info: (null)");
}

TEST(ProcessRecord, SetBinaryReleasesThePreviousOne) {
  auto p = Process::init();
  auto first = std::make_shared<Binary>();
  std::weak_ptr<Binary> watch = first;
  p->setBinary(std::move(first));
  EXPECT_FALSE(watch.expired());
  p->setBinary(std::make_shared<Binary>());
  EXPECT_TRUE(watch.expired());
}

TEST(ProcessRecord, EmptyPathIsNotAbsent) {
  auto p = Process::init();
  p->setPath(std::string());
  ASSERT_TRUE(p->path());
  EXPECT_EQ(p->description().substr(0, 16), "pid: -1\npath: \nu");
}
