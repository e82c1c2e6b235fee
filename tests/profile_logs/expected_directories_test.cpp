#include "quelmar/profile_logs/expected_directories.hpp"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace {

namespace dunmere = quelmar::profile_logs::dunmere;
namespace fs = std::filesystem;

std::string error_of(const std::string& file) {
  try {
    dunmere::read_expected_directories(file);
  } catch (const dunmere::ExpectationFileError& e) {
    return e.what();
  }
  return "no error";
}

TEST(ExpectationFile, ReadFromAFileOrAPipeWithErrorsNamingFileAndLine) {
  const fs::path dir = quelmar::testing::make_temp_dir("expectation-file");
  const auto list = dir / "expect.txt";
  std::ofstream(list) << "# meters\nsite/m1\r\nsite/m2\n";
  EXPECT_EQ(dunmere::read_expected_directories(list.string()).size(), 2u);

  // A shell's <(...) hands over a pipe, which has no size to look at first.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const std::string text = "a\nb\nc\n";
  ASSERT_EQ(::write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(ends[1]);
  EXPECT_EQ(dunmere::read_expected_directories("/dev/fd/" + std::to_string(ends[0])).size(), 3u);
  ::close(ends[0]);

  std::ofstream(list) << "site/m1\n../etc\n";
  EXPECT_EQ(error_of(list.string()).rfind(list.string() + ":2: not a path below the root", 0), 0u)
      << error_of(list.string());
  EXPECT_EQ(error_of((dir / "absent").string()),
            "cannot read " + (dir / "absent").string() + ": No such file or directory");
  EXPECT_EQ(error_of(dir.string()), "cannot read " + dir.string() + ": Is a directory");
  fs::remove_all(dir);
}

}  // namespace
