// The process record: its unset values and the description users read.
#include <gtest/gtest.h>

#include "procscope/Binary.hpp"
#include "procscope/Process.hpp"

using namespace procscope;

TEST(ProcessRecord, FreshRecordHoldsTheUnsetValues) {
  auto before = Process::Clock::now();
  auto p = Process::init();
  EXPECT_EQ(p->type(), 0);
  EXPECT_EQ(p->ppid(), -1);
  EXPECT_EQ(p->exit(), 0xFFFFFFFFu);
  EXPECT_GE(p->timestamp(), before);
  EXPECT_LE(p->timestamp(), Process::Clock::now());
  EXPECT_EQ(p->description(),
            "pid: -1\npath: (null)\nuser: -1\nargs: (\n)\nancestors: (\n)\n"
            " signing info: (null)\n binary:\n(null)");
  p->setPath(std::string());  // empty is not absent
  EXPECT_EQ(p->description().substr(0, 16), "pid: -1\npath: \nu");
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
