#include "quelmar/util/unique_fd.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

using quelmar::util::UniqueFd;

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

// Ownership moves with the object; whatever it held before an assignment, and what it holds at
// its end, is closed once.
TEST(UniqueFd, ClosesWhatItOwnsWhenReplacedOrDestroyed) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  {
    UniqueFd read_end(ends[0]);
    UniqueFd holder(std::move(read_end));
    EXPECT_FALSE(read_end.valid());  // NOLINT(bugprone-use-after-move): moved-from is empty
    EXPECT_EQ(holder.get(), ends[0]);

    UniqueFd write_end(ends[1]);
    write_end = std::move(holder);
    EXPECT_FALSE(is_open(ends[1])) << "the descriptor it held before is closed";
    EXPECT_TRUE(is_open(ends[0]));

    UniqueFd& same = write_end;
    write_end = std::move(same);
    EXPECT_TRUE(is_open(ends[0])) << "assigning itself keeps it";
  }
  EXPECT_FALSE(is_open(ends[0]));
  EXPECT_FALSE(UniqueFd().valid());
}

}  // namespace
