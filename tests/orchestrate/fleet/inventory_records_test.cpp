// Splitting inventory text into records: RFC 4180 quoting, every line end, the lines counted.
#include "orchestrate/fleet/inventory_records.hpp"
#include "orchestrate/fleet/inventory_problems_shown.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quelmar::orchestrate::fleet::inventory {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct Split {
  std::vector<std::string> records;  // "LINE: field|field", "!" after a malformed one
  std::vector<std::string> problems;
};

Split split(std::string_view text) {
  ProblemList problems(MAX_INVENTORY_PROBLEMS);
  RecordReader reader(text, problems);
  Split result;
  Record record;
  while (reader.next(record)) {
    std::string shown = std::to_string(record.line) + ":";
    const char* separator = " ";
    for (const auto field : record.fields) {
      shown += separator;
      shown += field;
      separator = "|";
    }
    if (record.malformed) shown += " !";
    result.records.push_back(shown);
  }
  result.problems = lines_and_messages(reported(problems));
  return result;
}

TEST(InventoryRecords, CountsLinesOfEveryEndingAndInsideQuotes) {
  const Split s = split("a,b\r\nc\rd\n\n\"e\r\nf\",\"g\rh\ni\"\nj,");
  EXPECT_THAT(s.records, ElementsAre("1: a|b", "2: c", "3: d", "5: e\r\nf|g\rh\ni", "9: j|"));
  EXPECT_THAT(s.problems, IsEmpty());
  EXPECT_THAT(split("").records, IsEmpty());
  EXPECT_THAT(split("\n\r\n\"\"\n").records, IsEmpty());  // blank lines, an empty quoted one too
  EXPECT_THAT(split(",\n").records, ElementsAre("1: |"));
}

TEST(InventoryRecords, DoubledQuotesStayValidAfterLaterRecords) {
  ProblemList problems(MAX_INVENTORY_PROBLEMS);
  const std::string text = "\"a\"\"b\",\"\"\"\"\n\"c,\"\"d\"\"\"\n";
  RecordReader reader(text, problems);
  Record first;
  Record second;
  ASSERT_TRUE(reader.next(first));
  ASSERT_TRUE(reader.next(second));
  EXPECT_FALSE(reader.next(second));
  EXPECT_THAT(first.fields, ElementsAre("a\"b", "\""));
  EXPECT_THAT(second.fields, ElementsAre("c,\"d\""));
  EXPECT_TRUE(problems.empty());
}

TEST(InventoryRecords, ReportsBrokenQuotingOnTheLineItIsOn) {
  const Split s = split(
      "a\"b,c\n"          // 1: stray quote
      "\"x\ny\"z,w\n"     // 2-3: text after the closing quote, on line 3
      "ok\n"              // 4
      "\"open\n\nrest");  // 5: never closed, to the end
  EXPECT_THAT(s.records, ElementsAre("1: a\"b|c !", "2: x\ny !", "4: ok", "5: open\n\nrest !"));
  EXPECT_THAT(s.problems, ElementsAre("1: a quote inside an unquoted field",
                                      "3: text after the closing quote of a field",
                                      "5: quoted field is never closed"));
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet::inventory
