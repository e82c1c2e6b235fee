#include "quelmar/util/file_reading.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "../support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using quelmar::util::FileReadOptions;
using quelmar::util::FileRefused;
using quelmar::util::read_whole_file;

class FileReadingTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = quelmar::testing::make_temp_dir("file-reading"); }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write(const std::string& name, const std::string& content, mode_t mode = 0600) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    ::chmod(path.c_str(), mode);
    return path;
  }

  fs::path dir_;
};

TEST_F(FileReadingTest, ReadsAWholeRegularFileUpToItsBound) {
  const std::string content("a\0b\nc", 5);
  EXPECT_EQ(read_whole_file(write("exact", content), {.max_bytes = 5}), content);
  EXPECT_EQ(read_whole_file(write("empty", ""), {.max_bytes = 5}), "");
  // Readable by everyone is fine even for files that steer the fleet.
  EXPECT_EQ(
      read_whole_file(write("shared", "x", 0644), {.max_bytes = 1, .only_owner_writes = true}),
      "x");
}

TEST_F(FileReadingTest, RefusesWhatIsNotASmallTrustedRegularFile) {
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string name;
    std::function<fs::path()> make;
    FileReadOptions options;
    std::string reason;
  };
  const Case cases[] = {
      {"missing", [&] { return dir_ / "absent"; }, {.max_bytes = 10}, "No such file or directory"},
      {"directory", [&] { return dir_; }, {.max_bytes = 10}, "not a regular file"},
      // Must not block waiting for a writer.
      {"fifo", [&] { return fifo; }, {.max_bytes = 10}, "not a regular file"},
      {"device", [] { return fs::path("/dev/zero"); }, {.max_bytes = 10}, "not a regular file"},
      {"too large",
       [&] { return write("big", "123456"); },
       {.max_bytes = 5},
       "larger than 5 bytes"},
      {"too large in MiB",
       [&] { return write("big2", std::string((1 << 20) + 1, ' ')); },
       {.max_bytes = 1 << 20},
       "larger than 1 MiB"},
      {"group writable",
       [&] { return write("gw", "x", 0620); },
       {.max_bytes = 10, .only_owner_writes = true},
       "writable by group or others (mode 0620)"},
      {"world writable",
       [&] { return write("ow", "x", 0606); },
       {.max_bytes = 10, .only_owner_writes = true},
       "writable by group or others (mode 0606)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      read_whole_file(c.make(), c.options);
      ADD_FAILURE() << "read";
    } catch (const FileRefused& e) {
      EXPECT_EQ(std::string(e.what()), c.reason);
    }
  }
  // Without the trust rule a writable file is just a file.
  EXPECT_EQ(read_whole_file(write("gw2", "x", 0666), {.max_bytes = 10}), "x");
}

TEST_F(FileReadingTest, RefusesAFileOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  const fs::path path = write("theirs", "x");
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  try {
    read_whole_file(path, {.max_bytes = 10, .only_owner_writes = true});
    ADD_FAILURE() << "read";
  } catch (const FileRefused& e) {
    EXPECT_EQ(std::string(e.what()), "owned by another user (uid 65534)");
  }
  EXPECT_EQ(read_whole_file(path, {.max_bytes = 10}), "x");
}

}  // namespace
