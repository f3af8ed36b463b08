#include "localization/StringsTable.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(StringsTableTest, ReadsEntriesCommentsAndEscapes) {
  auto table = StringsTable::parse(
      "\xEF\xBB\xBF/* header\n comment */\n"
      "\"plain\" = \"value\";\n"
      "// line comment\n"
      "\"quote \\\"q\\\"\"=\"a\\\\b\\nc\\td\";  /* trailing */\n"
      "\"unicode\" = \"\\u4E2D\\U6587 \\uD83D\\uDE00\";\n"
      "\"中文键\" = \"中文值\";");
  EXPECT_EQ(table.entries().size(), 4u);
  EXPECT_EQ(table.find("plain"), "value");
  EXPECT_EQ(table.find("quote \"q\""), "a\\b\nc\td");
  EXPECT_EQ(table.find("unicode"), "中文 \xF0\x9F\x98\x80");
  EXPECT_EQ(table.find("中文键"), "中文值");
  EXPECT_FALSE(table.find("absent"));
  EXPECT_TRUE(StringsTable::parse("").entries().empty());
}

TEST(StringsTableTest, RejectsMalformedTablesWithTheLine) {
  const char* broken[] = {
      "\"a\" = \"b\"",                   // no semicolon
      "\"a\" \"b\";",                    // no equals sign
      "\"a\" = \"b;",                    // unterminated string
      "a = \"b\";",                      // unquoted key
      "\"a\" = \"\\q\";",                // unknown escape
      "\"a\" = \"\\uD800\";",            // lone surrogate
      "/* open",                         // unterminated comment
      "\"a\" = \"1\";\n\"a\" = \"2\";",  // duplicate key
  };
  for (const char* text : broken) EXPECT_THROW(StringsTable::parse(text), StringsTable::ParseError) << text;
  try {
    StringsTable::parse("\"a\" = \"b\";\n\n\"c\" = d;");
    FAIL();
  } catch (const StringsTable::ParseError& error) {
    EXPECT_STREQ(error.what(), "line 3: expected '\"'");
  }
}

}  // namespace
}  // namespace corvane
