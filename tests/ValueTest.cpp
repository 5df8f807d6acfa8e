#include <gtest/gtest.h>

#include "procscope/Value.hpp"

using namespace procscope;

TEST(ValueDescription, ListsAndDictionariesRenderLikeThePlatform) {
  EXPECT_EQ(describe(Array{Value(1), Value(2)}), "(\n    1,\n    2\n)");
  EXPECT_EQ(describe(Array{}), "(\n)");
  EXPECT_EQ(describe(std::vector<std::string>{"ls", "-l", ""}),
            "(\n    ls,\n    \"-l\",\n    \"\"\n)");
  Dictionary inner{{"b", Value(true)}};
  Dictionary d{{"a", Value("x y")}, {"n", Value(inner)}};
  EXPECT_EQ(describe(d), "{\n    a = \"x y\";\n    n = {\n        b = 1;\n    };\n}");
  EXPECT_EQ(describe(Value(Data{0xde, 0xad, 0xbe, 0xef, 0x01})), "<deadbeef 01>");
}

TEST(ValueDescription, ControlCharactersInStringsAreEscaped) {
  EXPECT_EQ(describe(Value("a\nb\"c")), "\"a\\nb\\\"c\"");
  // The edges of both ranges: 0x00-0x1f and 0x7f, and their neighbours.
  EXPECT_EQ(describe(Value(std::string("\x00\x1f\x20\x7e\x7f", 5))), "\"\\000\\037 ~\\177\"");
}

TEST(ValueAccess, StringForKeyDistinguishesMissingFromEmpty) {
  std::optional<Dictionary> none;
  EXPECT_FALSE(stringForKey(none, "k"));
  Dictionary d{{"k", Value("")}, {"n", Value(5)}};
  EXPECT_EQ(stringForKey(d, "k"), std::optional<std::string>(""));
  EXPECT_FALSE(stringForKey(d, "n"));  // not a string
  EXPECT_FALSE(stringForKey(d, "missing"));
  EXPECT_EQ(Value(2.9).integer(), 2);
  EXPECT_FALSE(Value("3").integer());
}
