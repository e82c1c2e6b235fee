#include "quelmar/profile_logs/dunmere.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <system_error>

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

// The inclusive range as day numbers, with a "found" mark per day. Marks carry
// the number of the directory that set them, so a new directory needs no clearing.
class DayRange {
 public:
  DayRange(Date start_date, Date end_date)
      : first_(sys_days{start_date}),
        count_(std::max<std::int64_t>(0, (sys_days{end_date} - first_).count() + 1)),
        marks_(static_cast<std::size_t>(count_), 0) {}

  std::int64_t size() const { return count_; }

  // Index of a day inside the range, or -1.
  std::int64_t index_of(sys_days d) const {
    const std::int64_t i = (d - first_).count();
    return (i >= 0 && i < count_) ? i : -1;
  }

  void start_directory() { ++stamp_; }
  void mark(std::int64_t i) { marks_[static_cast<std::size_t>(i)] = stamp_; }

  std::vector<Date> unmarked() const {
    std::vector<Date> missing;
    for (std::int64_t i = 0; i < count_; ++i) {
      if (marks_[static_cast<std::size_t>(i)] != stamp_) {
        missing.emplace_back(first_ + std::chrono::days{i});
      }
    }
    return missing;
  }

 private:
  sys_days first_;
  std::int64_t count_;
  std::vector<std::uint32_t> marks_;
  std::uint32_t stamp_ = 1;  // marks start at 0: nothing is found yet
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
// `on_entry` for each entry but "." and "..". Returns false on a read error.
template <typename OnEntry>
bool read_directory(int fd, std::vector<char>& buffer, OnEntry&& on_entry) {
  for (;;) {
    const ssize_t n = ::getdents64(fd, buffer.data(), buffer.size());
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
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

// One directory on the walk's path from the root. Its descriptor is kept only
// while subdirectories remain to be opened from it, and may be given up (and
// reopened from an ancestor) to bound the number of open descriptors.
struct Frame {
  std::string name;            // component under the parent; empty for the root
  std::size_t rel_length = 0;  // length of the relative path of this directory
  Fd fd;
  std::vector<std::string> subdirs;  // in listing order
  std::size_t next_subdir = 0;
};

constexpr std::size_t kMaxOpenDescriptors = 64;

class TreeWalk {
 public:
  TreeWalk(std::filesystem::path root, DayRange& range) : root_(std::move(root)), range_(range) {}

  MissingFilesMap run() {
    Fd root_fd = open_directory_at(AT_FDCWD, root_.c_str(), /*follow_links=*/true);
    if (!root_fd.valid()) return {};
    frames_.push_back(Frame{});
    frames_.back().fd = std::move(root_fd);
    ++open_count_;
    visit_top();

    while (!frames_.empty()) {
      Frame& top = frames_.back();
      if (top.next_subdir == top.subdirs.size()) {
        pop();
        continue;
      }
      const std::size_t parent_index = frames_.size() - 1;
      std::string name = std::move(top.subdirs[top.next_subdir++]);
      const bool last_child = top.next_subdir == top.subdirs.size();
      if (!ensure_open(parent_index)) {
        // The parent cannot be reached again; its remaining subtree is skipped.
        frames_[parent_index].next_subdir = frames_[parent_index].subdirs.size();
        continue;
      }
      Fd child = open_directory_at(frames_[parent_index].fd.get(), name.c_str(), false);
      if (last_child) release(parent_index);
      if (!child.valid()) continue;  // unlistable: skipped without a report
      push(std::move(name), std::move(child));
      visit_top();
    }
    return std::move(result_);
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

  void pop() {
    release(frames_.size() - 1);
    frames_.pop_back();
    rel_path_.resize(frames_.empty() ? 0 : frames_.back().rel_length);
  }

  void release(std::size_t index) {
    if (frames_[index].fd.valid()) {
      frames_[index].fd.reset();
      --open_count_;
    }
  }

  // Gives up the descriptors nearest the root first; they are the ones needed last.
  void limit_open_descriptors() {
    for (std::size_t i = 0; open_count_ > kMaxOpenDescriptors && i + 1 < frames_.size(); ++i) {
      release(i);
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
    limit_open_descriptors();
    return frames_[index].fd.valid();
  }

  // Examines the entries of the directory on top of the stack and records its
  // missing days; collects its subdirectories for the walk.
  void visit_top() {
    Frame& frame = frames_.back();
    const int fd = frame.fd.get();
    range_.start_directory();
    bool has_csv_files = false;
    const bool ok = read_directory(fd, buffer_, [&](DirectoryEntry entry) {
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
    if (!ok) {
      // A listing that failed part-way is treated like one that failed at once.
      frame.subdirs.clear();
      return;
    }
    if (frame.subdirs.empty()) release(frames_.size() - 1);
    if (!has_csv_files) return;
    auto missing = range_.unmarked();
    if (missing.empty()) return;
    result_.emplace_back(rel_path_.empty() ? std::string(".") : rel_path_, std::move(missing));
  }

  std::filesystem::path root_;
  DayRange& range_;
  std::vector<Frame> frames_;
  std::string rel_path_;
  std::size_t open_count_ = 0;
  std::vector<char> buffer_ = std::vector<char>(std::size_t{64} * 1024);
  MissingFilesMap result_;
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
  range.start_directory();
  std::error_code ec;
  if (!std::filesystem::exists(folder_path, ec)) return range.unmarked();

  // Every entry counts here, subdirectories included; listing errors reach the caller.
  for (const auto& entry : std::filesystem::directory_iterator(folder_path)) {
    const auto day = dated_name_day(entry.path().filename().native());
    if (!day) continue;
    const std::int64_t i = range.index_of(*day);
    if (i >= 0) range.mark(i);
  }
  return range.unmarked();
}

MissingFilesMap check_missing_files(const std::filesystem::path& root_path, Date start_date,
                                    Date end_date) {
  DayRange range(start_date, end_date);
  std::error_code ec;
  if (!std::filesystem::exists(root_path, ec)) return {};
  return TreeWalk(root_path, range).run();
}

}  // namespace quelmar::profile_logs::dunmere
