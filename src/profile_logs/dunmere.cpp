#include "quelmar/profile_logs/dunmere.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <system_error>
#include <utility>

#include "util/unique_fd.hpp"

namespace quelmar::profile_logs::dunmere {
namespace {

using std::chrono::sys_days;

constexpr std::string_view kSuffix = ".csv";
// "-" + eight digits + ".csv"
constexpr std::size_t kDatedTail = 1 + 8 + kSuffix.size();

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

int two_digits(const char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

// The day a name carries, as days since the epoch; nullopt when it has none.
// Same answers as DATE_PATTERN plus a strict YYYYMMDD parse, without a regex
// engine or an allocation: this runs once per directory entry.
std::optional<sys_days> dated_name_day(std::string_view name) {
  if (name.size() < kDatedTail || !name.ends_with(kSuffix)) return std::nullopt;
  const char* tail = name.data() + name.size() - kDatedTail;
  if (tail[0] != '-') return std::nullopt;
  const char* digits = tail + 1;
  for (int i = 0; i < 8; ++i) {
    if (!is_ascii_digit(digits[i])) return std::nullopt;
  }
  const int year = two_digits(digits) * 100 + two_digits(digits + 2);
  const int month = two_digits(digits + 4);
  const int day = two_digits(digits + 6);
  if (year < 1) return std::nullopt;  // year 0000 is no calendar year
  const Date date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                  std::chrono::day{static_cast<unsigned>(day)}};
  if (!date.ok()) return std::nullopt;
  return sys_days{date};
}

// The inclusive range as day numbers, with one "found" bit per day: the whole
// calendar (3.65 million days) fits in under half a MiB.
class DayRange {
 public:
  DayRange(Date start_date, Date end_date)
      : first_(sys_days{start_date}),
        count_(std::max<std::int64_t>(0, (sys_days{end_date} - first_).count() + 1)),
        found_(static_cast<std::size_t>((count_ + 63) / 64), 0) {}

  // Index of a day inside the range, or -1.
  std::int64_t index_of(sys_days d) const {
    const std::int64_t i = (d - first_).count();
    return (i >= 0 && i < count_) ? i : -1;
  }

  void mark(std::int64_t i) {
    found_[static_cast<std::size_t>(i / 64)] |= std::uint64_t{1} << (i % 64);
  }

  // Appends the unmarked days to `missing`, ascending, and clears every mark so
  // that the next directory starts afresh.
  void take_unmarked(std::vector<Date>& missing) {
    const std::size_t words = found_.size();
    for (std::size_t w = 0; w < words; ++w) {
      std::uint64_t gaps = ~std::exchange(found_[w], 0);
      if (w + 1 == words && count_ % 64 != 0) gaps &= (std::uint64_t{1} << (count_ % 64)) - 1;
      for (; gaps != 0; gaps &= gaps - 1) {
        const auto i = static_cast<std::int64_t>(w * 64) + std::countr_zero(gaps);
        missing.emplace_back(first_ + std::chrono::days{i});
      }
    }
  }

  void clear() { std::fill(found_.begin(), found_.end(), 0); }

 private:
  sys_days first_;
  std::int64_t count_;
  std::vector<std::uint64_t> found_;
};

using Fd = util::UniqueFd;

Fd open_directory_at(int parent_fd, const char* name, bool follow_links) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (!follow_links) flags |= O_NOFOLLOW;
  int fd;
  do {
    fd = ::openat(parent_fd, name, flags);
  } while (fd < 0 && errno == EINTR);
  return Fd(fd);
}

enum class EntryKind { kDirectory, kLinkToDirectory, kOther };

// What the walk makes of an entry of `dir_fd`. Symbolic links are never walked:
// one whose target is a directory is left out entirely; other links (to files,
// dangling, looping) are examined like files. At most two stats, and only for
// links or entries of unknown type.
EntryKind classify(int dir_fd, const char* name, unsigned char type) {
  if (type == DT_DIR) return EntryKind::kDirectory;
  if (type != DT_LNK && type != DT_UNKNOWN) return EntryKind::kOther;
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::kOther;
  if (S_ISDIR(st.st_mode)) return EntryKind::kDirectory;
  if (!S_ISLNK(st.st_mode)) return EntryKind::kOther;
  const bool to_directory = ::fstatat(dir_fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
  return to_directory ? EntryKind::kLinkToDirectory : EntryKind::kOther;
}

struct DirectoryEntry {
  unsigned char type;
  const char* name;
};

// Reads a whole directory with getdents64 into a reused buffer, calling
// `on_entry` for each entry but "." and "..". Returns 0 or the errno of a failed read.
template <typename OnEntry>
int read_directory(int fd, std::vector<char>& buffer, OnEntry&& on_entry) {
  for (;;) {
    const ssize_t n = ::getdents64(fd, buffer.data(), buffer.size());
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (ssize_t off = 0; off < n;) {
      auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + off);
      off += entry->d_reclen;
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      on_entry(DirectoryEntry{entry->d_type, name});
    }
  }
}

// Device and inode: what tells a directory reached through ".." from another one.
struct DirectoryId {
  dev_t dev;
  ino_t ino;
};

std::optional<DirectoryId> directory_id(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return DirectoryId{st.st_dev, st.st_ino};
}

// One directory on the walk's path from the root. Its descriptor may be given up
// to bound the number of open descriptors; it is then got back through ".." of
// the child being left, or failing that reopened from an ancestor.
struct Frame {
  std::string name;            // component under the parent; empty for the root
  std::size_t rel_length = 0;  // length of the relative path of this directory
  Fd fd;
  std::optional<DirectoryId> id;     // recorded when the descriptor is given up
  std::vector<std::string> subdirs;  // in listing order
  std::size_t next_subdir = 0;

  bool has_pending_subdirs() const { return next_subdir < subdirs.size(); }
};

constexpr std::size_t kMaxOpenDescriptors = 64;

class TreeWalk {
 public:
  TreeWalk(std::filesystem::path root, DayRange& range, const MissingFilesVisitor& visitor)
      : root_(std::move(root)), range_(range), visitor_(visitor) {}

  std::error_code run() {
    Fd root_fd = open_directory_at(AT_FDCWD, root_.c_str(), /*follow_links=*/true);
    if (!root_fd.valid()) return {errno, std::generic_category()};
    frames_.push_back(Frame{});
    frames_.back().fd = std::move(root_fd);
    ++open_count_;
    if (const int error = visit_top(); error != 0) return {error, std::generic_category()};

    while (!frames_.empty() && !stopped_) {
      Frame& top = frames_.back();
      if (!top.has_pending_subdirs()) {
        pop();
        continue;
      }
      const std::size_t parent_index = frames_.size() - 1;
      std::string name = std::move(top.subdirs[top.next_subdir++]);
      if (!ensure_open(parent_index)) {
        // The parent cannot be reached again; its remaining subtree is skipped.
        frames_[parent_index].next_subdir = frames_[parent_index].subdirs.size();
        continue;
      }
      Fd child = open_directory_at(frames_[parent_index].fd.get(), name.c_str(), false);
      if (!child.valid()) continue;  // unlistable: skipped without a report
      push(std::move(name), std::move(child));
      visit_top();
    }
    return {};
  }

 private:
  void push(std::string name, Fd fd) {
    Frame frame;
    frame.rel_length = rel_path_.size();
    if (!rel_path_.empty()) frame.rel_length += 1;
    frame.rel_length += name.size();
    if (!rel_path_.empty()) rel_path_ += '/';
    rel_path_ += name;
    frame.name = std::move(name);
    frame.fd = std::move(fd);
    ++open_count_;
    frames_.push_back(std::move(frame));
    limit_open_descriptors();
  }

  // Leaves the top directory. When the parent's descriptor was given up, it is
  // got back through ".." of the directory being left, if that still leads to
  // the same directory: one step per level, where a reopen from an ancestor
  // would cost one step per level of depth.
  void pop() {
    Fd leaving = std::move(frames_.back().fd);
    if (leaving.valid()) --open_count_;
    frames_.pop_back();
    if (frames_.empty()) return;
    rel_path_.resize(frames_.back().rel_length);
    lowest_open_ = std::min(lowest_open_, frames_.size() - 1);
    Frame& parent = frames_.back();
    if (parent.fd.valid() || !leaving.valid() || !parent.id) return;
    Fd up = open_directory_at(leaving.get(), "..", false);
    if (!up.valid()) return;
    const auto id = directory_id(up.get());
    if (!id || id->dev != parent.id->dev || id->ino != parent.id->ino) return;
    parent.fd = std::move(up);
    ++open_count_;
  }

  // Gives up the descriptors nearest the root first; they are the ones needed last.
  void limit_open_descriptors() {
    while (open_count_ > kMaxOpenDescriptors && lowest_open_ + 1 < frames_.size()) {
      Frame& frame = frames_[lowest_open_++];
      if (!frame.fd.valid()) continue;
      frame.id = directory_id(frame.fd.get());
      frame.fd.reset();
      --open_count_;
    }
  }

  // Reopens frames_[index] by walking down from the nearest open ancestor, one
  // component at a time, so that no path longer than one name is ever used.
  bool ensure_open(std::size_t index) {
    if (frames_[index].fd.valid()) return true;
    std::size_t base = index;
    while (base > 0 && !frames_[base].fd.valid()) --base;
    Fd current;
    if (frames_[base].fd.valid()) {
      current = Fd(::dup(frames_[base].fd.get()));
    } else {
      current = open_directory_at(AT_FDCWD, root_.c_str(), true);
    }
    for (std::size_t i = base + 1; current.valid() && i <= index; ++i) {
      current = open_directory_at(current.get(), frames_[i].name.c_str(), false);
    }
    if (!current.valid()) return false;
    frames_[index].fd = std::move(current);
    ++open_count_;
    lowest_open_ = std::min(lowest_open_, index);
    limit_open_descriptors();
    return true;
  }

  // Examines the entries of the directory on top of the stack, hands its missing
  // days to the visitor and collects its subdirectories for the walk. Returns 0
  // or the errno of a failed listing.
  int visit_top() {
    Frame& frame = frames_.back();
    const int fd = frame.fd.get();
    bool has_csv_files = false;
    const int error = read_directory(fd, buffer_, [&](DirectoryEntry entry) {
      switch (classify(fd, entry.name, entry.type)) {
        case EntryKind::kDirectory:
          frame.subdirs.emplace_back(entry.name);
          return;
        case EntryKind::kLinkToDirectory:
          return;
        case EntryKind::kOther:
          break;
      }
      const auto day = dated_name_day(entry.name);
      if (!day) return;
      has_csv_files = true;
      const std::int64_t i = range_.index_of(*day);
      if (i >= 0) range_.mark(i);
    });
    if (error != 0) {
      // A listing that failed part-way is treated like one that failed at once.
      frame.subdirs.clear();
      if (has_csv_files) range_.clear();
      return error;
    }
    if (!has_csv_files) return 0;
    missing_.clear();
    range_.take_unmarked(missing_);
    if (missing_.empty()) return 0;
    const std::string_view rel = rel_path_.empty() ? std::string_view(".") : rel_path_;
    if (!visitor_(rel, missing_)) stopped_ = true;
    return 0;
  }

  std::filesystem::path root_;
  DayRange& range_;
  const MissingFilesVisitor& visitor_;
  std::vector<Frame> frames_;
  std::string rel_path_;
  std::size_t open_count_ = 0;
  std::size_t lowest_open_ = 0;  // every frame below this index has no descriptor
  std::vector<char> buffer_ = std::vector<char>(std::size_t{64} * 1024);
  std::vector<Date> missing_;  // reused: one directory's missing days at a time
  bool stopped_ = false;
};

}  // namespace

std::optional<Date> extract_date_from_filename(std::string_view filename) {
  const auto day = dated_name_day(filename);
  if (!day) return std::nullopt;
  return Date{*day};
}

std::vector<Date> generate_date_range(Date start_date, Date end_date) {
  const sys_days first{start_date};
  const auto count = (sys_days{end_date} - first).count() + 1;
  std::vector<Date> dates;
  if (count <= 0) return dates;
  dates.reserve(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) dates.emplace_back(first + std::chrono::days{i});
  return dates;
}

std::vector<Date> check_missing_files_for_folder(const std::filesystem::path& folder_path,
                                                 Date start_date, Date end_date) {
  DayRange range(start_date, end_date);
  std::vector<Date> missing;
  std::error_code ec;
  if (!std::filesystem::exists(folder_path, ec)) {
    range.take_unmarked(missing);
    return missing;
  }

  // Every entry counts here, subdirectories included; listing errors reach the caller.
  for (const auto& entry : std::filesystem::directory_iterator(folder_path)) {
    const auto day = dated_name_day(entry.path().filename().native());
    if (!day) continue;
    const std::int64_t i = range.index_of(*day);
    if (i >= 0) range.mark(i);
  }
  range.take_unmarked(missing);
  return missing;
}

std::error_code visit_missing_files(const std::filesystem::path& root_path, Date start_date,
                                    Date end_date, const MissingFilesVisitor& visitor) {
  DayRange range(start_date, end_date);
  return TreeWalk(root_path, range, visitor).run();
}

MissingFilesMap check_missing_files(const std::filesystem::path& root_path, Date start_date,
                                    Date end_date) {
  MissingFilesMap missing_files_map;
  // A root that is missing or cannot be listed gives the empty map.
  visit_missing_files(root_path, start_date, end_date,
                      [&](std::string_view rel_path, const std::vector<Date>& missing_dates) {
                        missing_files_map.emplace_back(std::string(rel_path), missing_dates);
                        return true;
                      });
  return missing_files_map;
}

}  // namespace quelmar::profile_logs::dunmere
