#include "quelmar/profile_logs/dunmere.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <string_view>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/param_names.hpp"
#include "support/scoped_time_zone.hpp"
#include "support/temp_dir.hpp"
#include "support/unprivileged.hpp"

namespace dunmere = quelmar::profile_logs::dunmere;
namespace fs = std::filesystem;
using dunmere::Date;
using quelmar::testing::run_unprivileged;
using std::chrono::day;
using std::chrono::month;
using std::chrono::year;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

namespace {

Date ymd(int y, unsigned m, unsigned d) { return Date{year{y}, month{m}, day{d}}; }

std::vector<Date> days(Date first, Date last) { return dunmere::generate_date_range(first, last); }

// ---------------------------------------------------------------- dated names

struct NameCase {
  const char* name;
  std::optional<Date> expected;
};

class DatedNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(DatedNames, YieldsTheDayBeforeTheFinalExtension) {
  EXPECT_EQ(dunmere::extract_date_from_filename(GetParam().name), GetParam().expected)
      << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, DatedNames,
    ::testing::Values(
        NameCase{"-20210915.csv", ymd(2021, 9, 15)},
        NameCase{"SERIAL1-A-20210915.csv", ymd(2021, 9, 15)},
        NameCase{"a-20210101-20210915.csv", ymd(2021, 9, 15)},
        NameCase{"x-20200229.csv", ymd(2020, 2, 29)}, NameCase{"x-99991231.csv", ymd(9999, 12, 31)},
        NameCase{"x-00010101.csv", ymd(1, 1, 1)},
        NameCase{"line\nbreak-20210915.csv", ymd(2021, 9, 15)},
        NameCase{"x-20210915.CSV", std::nullopt}, NameCase{"x-20210915.csv.gz", std::nullopt},
        NameCase{"x-20210915.csv\n", std::nullopt}, NameCase{"x_20210915.csv", std::nullopt},
        NameCase{"20210915.csv", std::nullopt}, NameCase{"x-2021091.csv", std::nullopt},
        NameCase{"x-202109150.csv", std::nullopt}, NameCase{"x-2021O915.csv", std::nullopt},
        NameCase{"x-20211301.csv", std::nullopt}, NameCase{"x-20210230.csv", std::nullopt},
        NameCase{"x-20210229.csv", std::nullopt}, NameCase{"x-21000229.csv", std::nullopt},
        NameCase{"x-20000229.csv", ymd(2000, 2, 29)}, NameCase{"x-20210100.csv", std::nullopt},
        NameCase{"x-20210001.csv", std::nullopt}, NameCase{"x-00000101.csv", std::nullopt},
        NameCase{"", std::nullopt}, NameCase{".csv", std::nullopt}),
    [](const ::testing::TestParamInfo<NameCase>& info) {
      return quelmar::testing::param_name(info.param.name);
    });

TEST(DatedNameRule, AgreesWithThePatternOnGeneratedNames) {
  const std::regex pattern{std::string(dunmere::DATE_PATTERN)};
  // Pieces that make near misses likely; no line breaks, where the pattern and
  // the rule are meant to agree.
  const std::vector<std::string> pieces = {
      "-",   "0", "1", "2", "9",        "3",    "20210915", "00000000", "99991231", ".csv", ".CSV",
      "csv", ".", "x", "_", "\xc3\xa9", "\xff", " ",        "\x01",     "13",       "0229"};
  std::mt19937 rng(20211);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 8);
  int matched = 0;
  for (int n = 0; n < 100000; ++n) {
    std::string name;
    for (int k = length(rng); k > 0; --k) name += pieces[pick(rng)];
    if (n % 2 == 0) {  // a near-valid ending: eight characters, nearly all digits
      name += '-';
      for (int k = 0; k < 8; ++k) name += "0123456789012345678x"[length(rng) * 2 + (k & 1) + 2];
      name += (n % 10 == 0) ? ".CSV" : ".csv";
    }
    std::smatch m;
    std::optional<Date> via_pattern;
    if (std::regex_match(name, m, pattern)) {
      const std::string digits = m[1];
      const Date d{year{std::stoi(digits.substr(0, 4))},
                   month{static_cast<unsigned>(std::stoi(digits.substr(4, 2)))},
                   day{static_cast<unsigned>(std::stoi(digits.substr(6, 2)))}};
      if (d.ok() && d.year() >= year{1}) via_pattern = d;
      ++matched;
    }
    ASSERT_EQ(dunmere::extract_date_from_filename(name), via_pattern) << "name: " << name;
  }
  EXPECT_GT(matched, 10000);  // the generator really exercises the matching side
}

// ---------------------------------------------------------------- date ranges

TEST(DateRange, ExpandsInclusivelyAcrossMonthLeapAndYearEnds) {
  EXPECT_THAT(days(ymd(2021, 3, 4), ymd(2021, 3, 4)), ElementsAre(ymd(2021, 3, 4)));
  EXPECT_THAT(days(ymd(2021, 1, 31), ymd(2021, 2, 2)),
              ElementsAre(ymd(2021, 1, 31), ymd(2021, 2, 1), ymd(2021, 2, 2)));
  EXPECT_THAT(days(ymd(2020, 2, 28), ymd(2020, 3, 1)),
              ElementsAre(ymd(2020, 2, 28), ymd(2020, 2, 29), ymd(2020, 3, 1)));
  EXPECT_THAT(days(ymd(2021, 12, 30), ymd(2022, 1, 2)),
              ElementsAre(ymd(2021, 12, 30), ymd(2021, 12, 31), ymd(2022, 1, 1), ymd(2022, 1, 2)));
  EXPECT_EQ(days(ymd(2020, 1, 1), ymd(2020, 12, 31)).size(), 366U);
}

TEST(DateRange, ReversedRangeIsEmpty) {
  EXPECT_THAT(days(ymd(2021, 3, 4), ymd(2021, 3, 3)), IsEmpty());
  EXPECT_THAT(days(ymd(2022, 1, 1), ymd(2021, 1, 1)), IsEmpty());
}

// ---------------------------------------------------------------- expectation lists

std::vector<std::string> expected_paths(const dunmere::ExpectedDirectories& expected) {
  std::vector<std::string> paths;
  std::function<void(const dunmere::ExpectedDirectories::Node&, const std::string&)> walk =
      [&](const auto& node, const std::string& rel) {
        if (node.expected) paths.push_back(rel.empty() ? "." : rel);
        for (const auto& [name, child] : node.children) {
          walk(*child, rel.empty() ? name : rel + "/" + name);
        }
      };
  walk(expected.root(), "");
  return paths;
}

TEST(ExpectationList, DecodesTheKeyEncodingLineByLine) {
  const auto expected = dunmere::parse_expected_directories(
      "# written by hand\r\n"  // a comment, with a CR LF line end
      "site/m1\r\n"
      ".\n"
      "\n"                       // skipped
      "  \n"                     // a line of spaces is a name
      "back\\\\slash\\xff\n"     // "\\" and "\xff" as the JSON keys write them
      "line\\nfeed\\xC3\\xa9\n"  // "\n" in a name; hex digits in either case
      "site/m1\n"                // twice is once
      " # not a comment\n"
      "cr\\r\r");  // a name that ends in CR, without a final line feed
  EXPECT_THAT(expected_paths(expected),
              ElementsAre(".", "  ", " # not a comment", "back\\slash\xff", "cr\r",
                          "line\nfeed\xc3\xa9", "site/m1"));
  EXPECT_EQ(expected.size(), 7U);
  EXPECT_TRUE(dunmere::parse_expected_directories("").empty());
  EXPECT_TRUE(dunmere::parse_expected_directories("# nothing\n\r\n").empty());
}

TEST(ExpectationList, NamesTheFirstMalformedLineAndWhy) {
  const std::string deep = [] {
    std::string path = "a";
    for (int i = 0; i < 1024; ++i) path += "/a";
    return path;  // 1,025 names
  }();
  const struct {
    std::string line;
    std::string reason;
  } cases[] = {
      {"/abs", "not a path below the root: absolute path"},
      {"a//b", "not a path below the root: empty component"},
      {"a/", "not a path below the root: trailing /"},
      {"a/\r", "not a path below the root: trailing /"},
      {"./a", "not a path below the root: . or .. component"},
      {"a/../b", "not a path below the root: . or .. component"},
      {"..", "not a path below the root: . or .. component"},
      {std::string(4097, 'a'), "not a path below the root: longer than 4096 bytes"},
      {deep, "not a path below the root: more than 1024 components"},
      {"a\\", "unknown escape: a backslash must be followed by"},
      {"a\\q", "unknown escape: a backslash must be followed by"},
      {"a\\x4", "unknown escape: a backslash must be followed by"},
      {"a\\xg0", "unknown escape: a backslash must be followed by"},
      {"a\\x00b", "unknown escape: an x escape cannot stand for a NUL byte or /"},
      {"a\\x2fb", "unknown escape: an x escape cannot stand for a NUL byte or /"},
      {std::string("a\0b", 3), "not a path below the root: NUL byte"},
  };
  for (const auto& c : cases) {
    try {
      dunmere::parse_expected_directories("ok\n# c\n" + c.line + "\nalso/ok\n");
      ADD_FAILURE() << "accepted " << c.line;
    } catch (const dunmere::ExpectedDirectoriesError& e) {
      EXPECT_EQ(e.line(), 3U) << c.line;
      EXPECT_THAT(std::string(e.what()), ::testing::StartsWith(c.reason)) << c.line;
      // Our own text holds no backslash, so that none is doubled on a terminal.
      EXPECT_EQ(std::string(e.what()).find('\\'), std::string::npos) << e.what();
    }
  }
  // The deepest path allowed is kept, and released without recursion.
  EXPECT_EQ(dunmere::parse_expected_directories(deep.substr(2) + "\n").size(), 1U);
}

TEST(ExpectationList, AMegabyteLineIsRejectedNotACrash) {
  std::string line;
  while (line.size() < (1 << 20)) line += "a/";
  line += "a";
  EXPECT_THROW(dunmere::parse_expected_directories(line), dunmere::ExpectedDirectoriesError);
}

std::chrono::system_clock::time_point utc(Date d, int hour, int minute) {
  return std::chrono::sys_days{d} + std::chrono::hours{hour} + std::chrono::minutes{minute};
}

TEST(LastDays, EndYesterdayInLocalTime) {
  using Range = std::pair<Date, Date>;
  const auto late_evening = utc(ymd(2021, 9, 10), 23, 30);
  {
    const quelmar::testing::ScopedTimeZone tz("UTC0");
    EXPECT_EQ(dunmere::last_days(3, late_evening), Range(ymd(2021, 9, 7), ymd(2021, 9, 9)));
  }
  {
    const quelmar::testing::ScopedTimeZone tz("NZST-12");  // already 11 September there
    EXPECT_EQ(dunmere::last_days(3, late_evening), Range(ymd(2021, 9, 8), ymd(2021, 9, 10)));
  }
  {
    const quelmar::testing::ScopedTimeZone tz(
        "HST10");  // still 28 February there: across a month end
    EXPECT_EQ(dunmere::last_days(1, utc(ymd(2021, 3, 1), 5, 0)),
              Range(ymd(2021, 2, 27), ymd(2021, 2, 27)));
  }
  const quelmar::testing::ScopedTimeZone tz("UTC0");
  EXPECT_EQ(dunmere::last_days(366, utc(ymd(2021, 1, 1), 0, 0)),
            Range(ymd(2020, 1, 1), ymd(2020, 12, 31)));
  EXPECT_EQ(dunmere::last_days(0, late_evening), std::nullopt);
  // Back to 0001-01-01 at most.
  const auto whole = static_cast<std::uint64_t>(
      (std::chrono::sys_days{ymd(2021, 9, 9)} - std::chrono::sys_days{ymd(1, 1, 1)}).count() + 1);
  EXPECT_EQ(dunmere::last_days(whole, late_evening), Range(ymd(1, 1, 1), ymd(2021, 9, 9)));
  EXPECT_EQ(dunmere::last_days(whole + 1, late_evening), std::nullopt);
}

// ---------------------------------------------------------------- scans

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = quelmar::testing::make_temp_dir("dunmere");
    fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
  }
  void TearDown() override {
    std::error_code ec;
    for (const auto& p : fs::recursive_directory_iterator(root_, ec)) {
      fs::permissions(p.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(root_, ec);
  }

  fs::path dir(const std::string& rel) {
    fs::create_directories(root_ / rel);
    return root_ / rel;
  }
  void touch(const std::string& rel) {
    fs::create_directories((root_ / rel).parent_path());
    std::ofstream(root_ / rel).flush();
  }
  // Dated files for every day from first to last except the listed ones.
  void fill(const std::string& rel_dir, Date first, Date last, const std::vector<Date>& except) {
    for (Date d : days(first, last)) {
      if (std::find(except.begin(), except.end(), d) != except.end()) continue;
      char name[32];
      std::snprintf(name, sizeof name, "M1-A-%04d%02u%02u.csv", static_cast<int>(d.year()),
                    static_cast<unsigned>(d.month()), static_cast<unsigned>(d.day()));
      touch((rel_dir.empty() ? std::string() : rel_dir + "/") + name);
    }
  }

  fs::path root_;
  const Date sep1_ = ymd(2021, 9, 1);
  const Date sep5_ = ymd(2021, 9, 5);
};

TEST_F(ScanTest, FolderMissingOrReversed) {
  EXPECT_EQ(dunmere::check_missing_files_for_folder(root_ / "absent", sep1_, sep5_),
            days(sep1_, sep5_));
  EXPECT_THAT(dunmere::check_missing_files_for_folder(root_ / "absent", sep5_, sep1_), IsEmpty());
}

TEST_F(ScanTest, FolderCountsEveryEntryNameInRangeOnce) {
  fill("f", sep1_, sep5_, {ymd(2021, 9, 2), ymd(2021, 9, 3), ymd(2021, 9, 4)});
  touch("f/M1-B-20210901.csv");  // second file of a present day
  touch("f/M1-A-20210831.csv");  // outside the range
  touch("f/M1-A-20210902.CSV");  // wrong extension
  touch("f/M1-A-20210230.csv");  // impossible date
  dir("f/M1-A-20210903.csv");    // a directory named like a dated file counts here
  fs::create_symlink(root_ / "nowhere", root_ / "f/M1-A-20210904.csv");  // dangling link counts
  EXPECT_THAT(dunmere::check_missing_files_for_folder(root_ / "f", sep1_, sep5_),
              ElementsAre(ymd(2021, 9, 2)));
  fill("g", sep1_, sep5_, {});
  EXPECT_THAT(dunmere::check_missing_files_for_folder(root_ / "g", sep1_, sep5_), IsEmpty());
}

TEST_F(ScanTest, FolderThatIsAFileRaisesTheListingError) {
  touch("plain.txt");
  try {
    dunmere::check_missing_files_for_folder(root_ / "plain.txt", sep1_, sep5_);
    FAIL() << "expected a listing error";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code(), std::errc::not_a_directory);
    EXPECT_EQ(e.path1(), root_ / "plain.txt");
  }
}

TEST_F(ScanTest, TreeMissingRootOrFileRootIsEmpty) {
  touch("plain.txt");
  EXPECT_THAT(dunmere::check_missing_files(root_ / "absent", sep1_, sep5_), IsEmpty());
  EXPECT_THAT(dunmere::check_missing_files(root_ / "plain.txt", sep1_, sep5_), IsEmpty());
}

TEST_F(ScanTest, TreeReportsEachDirectoryOnItsOwnFiles) {
  fill("", sep1_, sep5_, {ymd(2021, 9, 3)});
  fill("a/b", sep1_, sep5_, {ymd(2021, 9, 1), ymd(2021, 9, 5)});
  fill("a", sep1_, sep5_, {});       // complete: no entry
  touch("a/M1-A-20210903.csv.bak");  // nothing dated
  dir("empty");                      // no dated name: no entry
  touch("notes/readme.txt");         // no dated name: no entry
  touch("old/M1-A-20200101.csv");    // only outside the range
  touch("bad/M1-A-20211301.csv");    // impossible date only: no entry
  const auto result = dunmere::check_missing_files(root_, sep1_, sep5_);
  std::map<std::string, std::vector<Date>> by_key(result.begin(), result.end());
  EXPECT_EQ(result.size(), 3U);
  EXPECT_THAT(by_key["."], ElementsAre(ymd(2021, 9, 3)));
  EXPECT_THAT(by_key["a/b"], ElementsAre(ymd(2021, 9, 1), ymd(2021, 9, 5)));
  EXPECT_EQ(by_key["old"], days(sep1_, sep5_));
  EXPECT_EQ(result.front().first, ".");  // the root comes first
  EXPECT_THAT(dunmere::check_missing_files(root_, sep5_, sep1_), IsEmpty());
}

TEST_F(ScanTest, TreeWalksDepthFirstInListingOrder) {
  for (const char* d : {"p", "q", "r", "p/x", "p/y", "q/z"}) fill(d, sep1_, sep1_, {});
  // Every directory misses 2 September only.
  const auto result = dunmere::check_missing_files(root_, sep1_, ymd(2021, 9, 2));
  std::vector<std::string> keys;
  for (const auto& [k, v] : result) keys.push_back(k);
  // Expected order, built from the listing order of each directory.
  std::vector<std::string> expected;
  std::function<void(const fs::path&, const std::string&)> walk = [&](const fs::path& p,
                                                                      const std::string& rel) {
    if (!rel.empty()) expected.push_back(rel);
    for (const auto& e : fs::directory_iterator(p)) {
      if (e.is_directory() && !e.is_symlink()) {
        const std::string name = e.path().filename().string();
        walk(e.path(), rel.empty() ? name : rel + "/" + name);
      }
    }
  };
  walk(root_, "");
  EXPECT_EQ(keys, expected);
}

TEST_F(ScanTest, TreeReopensAncestorsWhenManyLevelsHavePendingSiblings) {
  // 300 levels, each with a leaf "z" beside the chain "d": more open directories
  // than the walk keeps, so ancestors are given up and reopened on the way back.
  std::string rel;
  std::vector<std::string> leaves;
  for (int level = 0; level < 300; ++level) {
    rel += rel.empty() ? "d" : "/d";
    leaves.push_back(rel + "/z");
    fill(rel + "/z", sep1_, sep1_, {});
  }
  const auto result = dunmere::check_missing_files(root_, sep1_, ymd(2021, 9, 2));
  ASSERT_EQ(result.size(), leaves.size());
  std::vector<std::string> keys;
  for (const auto& [k, v] : result) keys.push_back(k);
  std::sort(keys.begin(), keys.end());
  std::sort(leaves.begin(), leaves.end());
  EXPECT_EQ(keys, leaves);
}

TEST_F(ScanTest, TreeSymbolicLinks) {
  fill("real", sep1_, sep5_, {ymd(2021, 9, 2)});
  fs::create_directory_symlink(root_ / "real", root_ / "alias");  // not walked
  dir("links");
  // A link to a directory is not examined even with a dated name.
  fs::create_directory_symlink(root_ / "real", root_ / "links/M1-A-20210901.csv");
  fs::create_symlink(root_ / "real/M1-A-20210903.csv", root_ / "links/M1-A-20210902.csv");
  fs::create_symlink(root_ / "gone", root_ / "links/M1-A-20210903.csv");       // dangling
  fs::create_symlink("M1-A-20210904.csv", root_ / "links/M1-A-20210904.csv");  // loop
  const auto result = dunmere::check_missing_files(root_, sep1_, sep5_);
  ASSERT_EQ(result.size(), 2U);
  std::map<std::string, std::vector<Date>> by_key(result.begin(), result.end());
  EXPECT_THAT(by_key["real"], ElementsAre(ymd(2021, 9, 2)));
  EXPECT_THAT(by_key["links"], ElementsAre(ymd(2021, 9, 1), ymd(2021, 9, 5)));
}

TEST_F(ScanTest, TreeKeepsNonUtf8NamesAsBytes) {
  const std::string odd = "meter-\xff\xfe";
  fill(odd, sep1_, sep5_, {ymd(2021, 9, 4)});
  const auto result = dunmere::check_missing_files(root_, sep1_, sep5_);
  ASSERT_EQ(result.size(), 1U);
  EXPECT_EQ(result[0].first, odd);
}

// Every call of the visitor, in order.
struct Visit {
  std::string rel_path;
  std::vector<Date> missing_dates;
};

std::vector<Visit> visit_all(const fs::path& root, Date first, Date last,
                             std::error_code* error = nullptr) {
  std::vector<Visit> visits;
  const auto ec = dunmere::visit_missing_files(
      root, first, last, [&](std::string_view rel_path, const std::vector<Date>& missing) {
        visits.push_back({std::string(rel_path), missing});
        return true;
      });
  if (error != nullptr) *error = ec;
  return visits;
}

TEST_F(ScanTest, VisitorSeesWhatTheMapHoldsInWalkOrderAndCanStopTheWalk) {
  for (int i = 0; i < 40; ++i) fill("m" + std::to_string(i), sep1_, sep5_, {ymd(2021, 9, 3)});
  fill("m7/deeper", sep1_, sep5_, {sep1_, sep5_});
  fill("", sep1_, sep5_, {ymd(2021, 9, 2)});
  std::error_code error = make_error_code(std::errc::io_error);
  const auto visits = visit_all(root_, sep1_, sep5_, &error);
  EXPECT_FALSE(error);
  const auto map = dunmere::check_missing_files(root_, sep1_, sep5_);
  ASSERT_EQ(visits.size(), 42U);
  ASSERT_EQ(map.size(), visits.size());
  for (std::size_t i = 0; i < map.size(); ++i) {
    EXPECT_EQ(visits[i].rel_path, map[i].first);
    EXPECT_EQ(visits[i].missing_dates, map[i].second);
  }
  EXPECT_EQ(visits[0].rel_path, ".");

  int calls = 0;
  dunmere::visit_missing_files(root_, sep1_, sep5_,
                               [&](std::string_view, const std::vector<Date>&) {
                                 ++calls;
                                 return calls < 3;
                               });
  EXPECT_EQ(calls, 3);
}

TEST_F(ScanTest, VisitorReportsWhyTheRootCannotBeScanned) {
  touch("plain.txt");
  std::error_code error;
  EXPECT_THAT(visit_all(root_ / "absent", sep1_, sep5_, &error), IsEmpty());
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  EXPECT_THAT(visit_all(root_ / "plain.txt", sep1_, sep5_, &error), IsEmpty());
  EXPECT_EQ(error, std::errc::not_a_directory);
  // A reversed range expects nothing: no visits, and no error either.
  fill("m", sep1_, sep5_, {sep1_});
  EXPECT_THAT(visit_all(root_, sep5_, sep1_, &error), IsEmpty());
  EXPECT_FALSE(error);
}

TEST_F(ScanTest, WholeCalendarFitsAndEndsAtTheRightDays) {
  const Date first = ymd(1, 1, 1);
  const Date last = ymd(9999, 12, 31);
  touch("a/M1-A-00010101.csv");
  touch("a/M1-A-99991231.csv");
  touch("a/M1-A-20000229.csv");
  const auto visits = visit_all(root_, first, last);
  ASSERT_EQ(visits.size(), 1U);
  const auto& missing = visits[0].missing_dates;
  ASSERT_EQ(missing.size(), 3652059U - 3U);
  EXPECT_EQ(missing.front(), ymd(1, 1, 2));
  EXPECT_EQ(missing.back(), ymd(9999, 12, 30));
  EXPECT_TRUE(std::is_sorted(missing.begin(), missing.end()));
  EXPECT_FALSE(std::binary_search(missing.begin(), missing.end(), ymd(2000, 2, 29)));
  EXPECT_TRUE(std::binary_search(missing.begin(), missing.end(), ymd(2000, 2, 28)));
}

TEST(DaySet, KeepBetweenClearsBothEndsAcrossWords) {
  const Date first = ymd(2021, 1, 1);
  const auto at = [&](int i) { return Date{std::chrono::sys_days{first} + std::chrono::days{i}}; };
  const struct {
    std::optional<int> from, to;
  } cases[] = {{std::nullopt, std::nullopt}, {0, 199},  {63, 64},  {64, 127},  {1, std::nullopt},
               {std::nullopt, 128},          {-5, 300}, {150, 20}, {250, 260}, {-9, -1}};
  for (const auto& c : cases) {
    dunmere::DaySet set(first, at(199));
    set = set.complement();  // every day
    set.keep_between(c.from ? std::optional(at(*c.from)) : std::nullopt,
                     c.to ? std::optional(at(*c.to)) : std::nullopt);
    for (int i = 0; i < 200; ++i) {
      const bool kept = (!c.from || i >= *c.from) && (!c.to || i <= *c.to);
      EXPECT_EQ(set.contains(at(i)), kept) << i;
    }
  }
}

// A subtree is looked for only when some meter in it is in service within the range.
TEST(ExpectationList, SpansBoundTheServiceOfEachSubtree) {
  dunmere::ExpectedDirectories expected;
  expected.add("old/a", {.first = ymd(2019, 1, 1), .last = ymd(2019, 12, 31)});
  expected.add("old/b", {.last = ymd(2020, 6, 30)});
  expected.add("new/a", {.first = ymd(2022, 1, 1)});
  expected.add("any");
  const auto& root = expected.root();
  using E = dunmere::ExpectedDirectories;
  const auto child = [&](const char* name) -> const E::Node& {
    return *root.children.find(name)->second;
  };
  EXPECT_TRUE(E::in_service_within(child("old"), ymd(2020, 6, 30), ymd(2021, 1, 1)));
  EXPECT_FALSE(E::in_service_within(child("old"), ymd(2020, 7, 1), ymd(2021, 1, 1)));
  EXPECT_FALSE(E::in_service_within(child("new"), ymd(2020, 7, 1), ymd(2021, 12, 31)));
  EXPECT_TRUE(E::in_service_within(child("new"), ymd(2021, 12, 31), ymd(2022, 1, 1)));
  EXPECT_TRUE(E::in_service_within(child("any"), ymd(1, 1, 1), ymd(1, 1, 1)));
  EXPECT_TRUE(E::in_service_within(root, ymd(1, 1, 1), ymd(1, 1, 1)));
}

// Days outside a meter's service are never missing; other directories as before.
TEST_F(ScanTest, ServicePeriodsBoundTheMissingDays) {
  fill("site/retired", sep1_, ymd(2021, 9, 2), {});  // nothing after its last day
  dir("site/late");                                  // nothing before its first day
  dir("site/long-gone");
  fill("site/unlisted", sep1_, ymd(2021, 9, 4), {});
  dunmere::ExpectedDirectories expected;
  expected.add("site/retired", {.last = ymd(2021, 9, 2)});
  expected.add("site/late", {.first = ymd(2021, 9, 4)});
  expected.add("site/long-gone", {.first = ymd(2020, 1, 1), .last = ymd(2020, 12, 31)});
  expected.add("site/spell", {.first = ymd(2021, 9, 2), .last = ymd(2021, 9, 3)});
  std::map<std::string, std::vector<Date>> reported;
  const auto error =
      dunmere::visit_missing_files(root_, sep1_, sep5_,
                                   [&](std::string_view rel, const std::vector<Date>& missing) {
                                     reported.emplace(rel, missing);
                                     return true;
                                   },
                                   {.expected = &expected});
  EXPECT_FALSE(error);
  EXPECT_THAT(reported,
              ElementsAre(Pair("site/late", ElementsAre(ymd(2021, 9, 4), sep5_)),
                          Pair("site/spell", ElementsAre(ymd(2021, 9, 2), ymd(2021, 9, 3))),
                          Pair("site/unlisted", ElementsAre(sep5_))));
}

// Every directory that cannot be listed reaches the visitor, with why, and the walk goes on;
// the collecting scan still skips them silently.
TEST_F(ScanTest, UnreadableDirectoriesAreToldWithTheirReason) {
  fill("site/locked", sep1_, sep5_, {sep1_});
  fill("site/open", sep1_, sep5_, {sep5_});
  dir("site/real");
  fs::create_directory_symlink(root_ / "site/real", root_ / "site/link");
  touch("site/file");
  fs::permissions(root_ / "site/locked", fs::perms::none);
  const auto expected = dunmere::parse_expected_directories("site/link\nsite/file\n");
  EXPECT_EQ(
      run_unprivileged([&] {
        std::vector<std::string> seen;
        const auto error = dunmere::visit_missing_files(
            root_, sep1_, sep5_,
            [&](std::string_view rel, const std::vector<Date>&) {
              seen.push_back(std::string(rel) + ": missing");
              return true;
            },
            {.expected = &expected, .unreadable = [&](std::string_view rel, std::error_code why) {
               seen.push_back(std::string(rel) + ": " + why.message());
               return true;
             }});
        std::sort(seen.begin(), seen.end());
        const std::vector<std::string> want = {
            "site/file: " + std::generic_category().message(ENOTDIR),
            "site/link: " + std::generic_category().message(ELOOP),
            "site/locked: " + std::generic_category().message(EACCES), "site/open: missing"};
        const auto silent = dunmere::check_missing_files(root_, sep1_, sep5_);
        return !error && seen == want && silent.size() == 1 ? 0 : 1;
      }),
      0);
}

TEST_F(ScanTest, ExpectedDirectoriesMissEveryDayWhenAbsentOrEmpty) {
  fill("site/full", sep1_, sep5_, {});
  fill("site/gappy", sep1_, sep5_, {ymd(2021, 9, 2)});
  dir("site/empty");
  touch("site/old/M1-A-20200101.csv");   // dated, but only outside the range
  fill("other", sep1_, sep5_, {sep5_});  // not listed: audited as before
  const auto expected = dunmere::parse_expected_directories(
      "site/full\nsite/gappy\nsite/empty\nsite/old\nsite/gone\ngone/deeper\n.\n");
  std::map<std::string, std::vector<Date>> reported;
  std::vector<std::string> unreadable;
  const auto error = dunmere::visit_missing_files(
      root_, sep1_, sep5_, expected,
      [&](std::string_view rel, const std::vector<Date>& missing) {
        EXPECT_TRUE(reported.emplace(rel, missing).second) << rel;
        return true;
      },
      [&](std::string_view rel) {
        unreadable.emplace_back(rel);
        return true;
      });
  EXPECT_FALSE(error);
  EXPECT_THAT(unreadable, IsEmpty());
  const auto all = days(sep1_, sep5_);
  EXPECT_THAT(reported, ElementsAre(Pair(".", all), Pair("gone/deeper", all),
                                    Pair("other", ElementsAre(sep5_)), Pair("site/empty", all),
                                    Pair("site/gappy", ElementsAre(ymd(2021, 9, 2))),
                                    Pair("site/gone", all), Pair("site/old", all)));
}

TEST_F(ScanTest, ExpectedDirectoriesThatCannotBeListedAreNamed) {
  fill("real", sep1_, sep5_, {});
  fs::create_directory_symlink(root_ / "real", root_ / "alias");
  touch("plain");
  fill("closed/inner", sep1_, sep5_, {});
  fs::permissions(root_ / "closed", fs::perms::none);
  const auto expected =
      dunmere::parse_expected_directories("alias\nalias/below\nplain\nclosed/inner\nreal\n");
  const fs::path root = root_;
  const Date a = sep1_, b = sep5_;
  EXPECT_EQ(
      run_unprivileged([&] {
        std::vector<std::string> unreadable;
        int reported = 0;
        dunmere::visit_missing_files(
            root, a, b, expected,
            [&](std::string_view, const std::vector<Date>&) { return ++reported, true; },
            [&](std::string_view rel) {
              unreadable.emplace_back(rel);
              return true;
            });
        std::sort(unreadable.begin(), unreadable.end());
        const std::vector<std::string> want = {"alias", "alias/below", "closed/inner", "plain"};
        return (reported == 0 && unreadable == want) ? 0 : 1;
      }),
      0);
}

std::size_t open_descriptors() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}));
}

// A comb: at each level a continuation "c" and leaf directories "l0".."l<leaves-1>",
// each leaf with one dated file (1 September), so every leaf misses 2 September.
// Returns the leaves' relative paths.
std::vector<std::string> make_comb(const fs::path& root, int depth, int leaves) {
  std::vector<std::string> leaf_paths;
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  std::string rel;
  for (int level = 0; level < depth && fd >= 0; ++level) {
    ::mkdirat(fd, "c", 0755);
    for (int i = 0; i < leaves; ++i) {
      const std::string leaf = "l" + std::to_string(i);
      ::mkdirat(fd, leaf.c_str(), 0755);
      const int leaf_fd = ::openat(fd, leaf.c_str(), O_RDONLY | O_DIRECTORY);
      ::close(::openat(leaf_fd, "M1-A-20210901.csv", O_CREAT | O_WRONLY, 0644));
      ::close(leaf_fd);
      leaf_paths.push_back(rel.empty() ? leaf : rel + "/" + leaf);
    }
    const int next = ::openat(fd, "c", O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
    rel += rel.empty() ? "c" : "/c";
  }
  ::close(fd);
  return leaf_paths;
}

// Removes a comb from the top in linear time, where a removal by paths would
// resolve every level's path again.
void remove_comb(const fs::path& root, int leaves) {
  const int top = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  const auto remove_leaves = [leaves](int level) {
    for (int i = 0; i < leaves; ++i) {
      const std::string leaf = "l" + std::to_string(i);
      const int leaf_fd = ::openat(level, leaf.c_str(), O_RDONLY | O_DIRECTORY);
      ::unlinkat(leaf_fd, "M1-A-20210901.csv", 0);
      ::close(leaf_fd);
      ::unlinkat(level, leaf.c_str(), AT_REMOVEDIR);
    }
  };
  remove_leaves(top);
  for (;;) {
    const int level = ::openat(top, "c", O_RDONLY | O_DIRECTORY);
    if (level < 0) break;
    remove_leaves(level);
    const bool more = ::renameat(level, "c", top, "next") == 0;
    ::close(level);
    ::unlinkat(top, "c", AT_REMOVEDIR);
    if (!more || ::renameat(top, "next", top, "c") != 0) break;
  }
  ::close(top);
}

TEST_F(ScanTest, CombWalkReportsEveryLeafOnceWithBoundedDescriptors) {
  // Deep enough that ancestors are given up and got back many times over.
  const auto leaves = make_comb(root_, 600, 1);
  const std::size_t before = open_descriptors();
  std::size_t most = 0;
  std::vector<std::string> keys;
  dunmere::visit_missing_files(root_, sep1_, ymd(2021, 9, 2),
                               [&](std::string_view rel_path, const std::vector<Date>& missing) {
                                 if (keys.size() % 50 == 0)
                                   most = std::max(most, open_descriptors());
                                 keys.emplace_back(rel_path);
                                 return missing == std::vector<Date>{ymd(2021, 9, 2)};
                               });
  EXPECT_LE(most, before + 70);
  ASSERT_EQ(keys.size(), leaves.size());
  std::sort(keys.begin(), keys.end());
  auto expected = leaves;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(open_descriptors(), before);
  remove_comb(root_, 1);
}

TEST_F(ScanTest, CombWalkGoesBackByNameWhenADirectoryMovedAway) {
  fs::create_directory(root_ / "tree");
  const auto leaves = make_comb(root_ / "tree", 220, 4);
  // A level below which the walk returns with leaves still to do: its "c" is not
  // listed last.
  std::string parent;
  long parent_level = 0;
  for (int level = 80; level < 120 && parent.empty(); ++level) {
    std::string rel;
    for (int i = 0; i < level; ++i) rel += i == 0 ? "c" : "/c";
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root_ / "tree" / rel)) {
      names.push_back(e.path().filename());
    }
    if (names.back() != "c") {
      parent = rel;
      parent_level = level;
    }
  }
  ASSERT_FALSE(parent.empty());
  const std::string moved = parent + "/c";
  bool did_move = false;
  std::vector<std::string> keys;
  dunmere::visit_missing_files(
      root_ / "tree", sep1_, ymd(2021, 9, 2),
      [&](std::string_view rel_path, const std::vector<Date>&) {
        // Far below the moved directory, its parent's descriptor has been given up:
        // going back through ".." would now lead out of the tree.
        if (!did_move && rel_path.starts_with(moved + "/") &&
            std::count(rel_path.begin(), rel_path.end(), '/') > parent_level + 70) {
          fs::rename(root_ / "tree" / moved, root_ / "away");
          did_move = true;
        }
        keys.emplace_back(rel_path);
        return true;
      });
  ASSERT_TRUE(did_move);
  std::sort(keys.begin(), keys.end());
  auto expected = leaves;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(keys, expected);
}

TEST_F(ScanTest, UnreadableDirectories) {
  fill("open", sep1_, sep5_, {ymd(2021, 9, 1)});
  fill("closed", sep1_, sep5_, {ymd(2021, 9, 1)});
  fs::permissions(root_ / "open", fs::perms::all);
  fs::permissions(root_ / "closed", fs::perms::none);
  const fs::path root = root_;
  const Date a = sep1_, b = sep5_;
  // The tree scan skips the closed directory silently and still reports its sibling.
  EXPECT_EQ(run_unprivileged([&] {
              const auto r = dunmere::check_missing_files(root, a, b);
              return (r.size() == 1 && r[0].first == "open") ? 0 : 1;
            }),
            0);
  // The visitor form says why a root cannot be scanned.
  EXPECT_EQ(run_unprivileged([&] {
              const auto error = dunmere::visit_missing_files(
                  root / "closed", a, b,
                  [](std::string_view, const std::vector<Date>&) { return true; });
              return error == std::errc::permission_denied ? 0 : 1;
            }),
            0);
  // The folder scan lets the permission error through.
  EXPECT_EQ(run_unprivileged([&] {
              try {
                dunmere::check_missing_files_for_folder(root / "closed", a, b);
              } catch (const fs::filesystem_error& e) {
                return e.code() == std::errc::permission_denied ? 0 : 2;
              }
              return 1;
            }),
            0);
}

// Lowers the soft limit on open descriptors for its lifetime, so that a failing
// assertion cannot leave the rest of the run with the lower limit.
class ScopedDescriptorLimit {
 public:
  explicit ScopedDescriptorLimit(rlim_t soft) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = std::min(saved_.rlim_max, soft);
    ::setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~ScopedDescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
  ScopedDescriptorLimit(const ScopedDescriptorLimit&) = delete;
  ScopedDescriptorLimit& operator=(const ScopedDescriptorLimit&) = delete;

 private:
  rlimit saved_{};
};

// A chain far deeper than PATH_MAX allows as one path.
class DeepChainTest : public ScanTest {
 protected:
  static constexpr int kDepth = 10000;

  void TearDown() override {
    // Unlink the chain from the top: move each level's child up, then remove the level.
    const int top = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY);
    for (int n = 0;; ++n) {
      const int level = ::openat(top, "d", O_RDONLY | O_DIRECTORY);
      if (level < 0) break;
      ::unlinkat(level, "M1-A-20210901.csv", 0);
      const bool more = ::renameat(level, "d", top, "next") == 0;
      ::close(level);
      ::unlinkat(top, "d", AT_REMOVEDIR);
      if (!more || ::renameat(top, "next", top, "d") != 0) break;
    }
    ::close(top);
    ScanTest::TearDown();
  }
};

TEST_F(DeepChainTest, ScansTenThousandLevelsWithBoundedDescriptors) {
  const ScopedDescriptorLimit limit(1024);

  int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 1; level <= kDepth; ++level) {
    ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
    const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
    if (level == 5000 || level == kDepth) {
      ::close(::openat(fd, "M1-A-20210901.csv", O_CREAT | O_WRONLY, 0644));
    }
  }
  ::close(fd);

  const auto result = dunmere::check_missing_files(root_, sep1_, ymd(2021, 9, 2));
  ASSERT_EQ(result.size(), 2U);
  std::string rel = "d";
  for (int i = 1; i < 5000; ++i) rel += "/d";
  EXPECT_EQ(result[0].first, rel);
  for (int i = 5000; i < kDepth; ++i) rel += "/d";
  EXPECT_EQ(result[1].first, rel);
  EXPECT_THAT(result[1].second, ElementsAre(ymd(2021, 9, 2)));
}

}  // namespace
