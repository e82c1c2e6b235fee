#include "profile_logs/replica_walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <utility>

#include "quelmar/util/unique_fd.hpp"

namespace quelmar::profile_logs::detail {

namespace {

using std::chrono::sys_days;

constexpr std::string_view kSuffix = ".csv";
// "-" + eight digits + ".csv"
constexpr std::size_t kDatedTail = 1 + 8 + kSuffix.size();

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

int two_digits(const char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

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

bool is_regular_file(int dir_fd, const char* name, unsigned char type) {
  if (type != DT_UNKNOWN) return type == DT_REG;
  struct stat st {};
  return ::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
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
  bool operator==(const DirectoryId&) const = default;
};

std::optional<DirectoryId> directory_id(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return DirectoryId{st.st_dev, st.st_ino};
}

// Byte order of "name" (an entry's own place) and "name/" (where its subtree
// starts), without building either string.
bool key_less(std::string_view a, bool a_subtree, std::string_view b, bool b_subtree) {
  const std::size_t common = std::min(a.size(), b.size());
  if (const int c = std::memcmp(a.data(), b.data(), common); c != 0) return c < 0;
  if (a.size() == b.size()) return !a_subtree && b_subtree;
  // One name is a prefix of the other; the shorter one goes on with "/" or ends.
  if (a.size() < b.size()) return !a_subtree || '/' < static_cast<unsigned char>(b[common]);
  return b_subtree && static_cast<unsigned char>(a[common]) < '/';
}

using ExpectNode = ExpectedDirectories::Node;

// A directory of the union of the trees, as its parent's listings name it.
struct Child {
  std::string name;
  std::uint64_t listed_in = 0;  // bit r: a directory of that name in root r's listing
  const ExpectNode* expect = nullptr;
};

// One root's side of a directory on the walk's path. Its descriptor may be given
// up to bound the number of open descriptors; it is then got back through ".."
// of the child being left, or failing that reopened from an ancestor.
struct Slot {
  Presence presence = Presence::kAbsent;
  int error = 0;  // why it is unreadable
  Fd fd;
  std::optional<DirectoryId> id;  // recorded when the descriptor is given up
};

// A directory whose children are still to be walked. The walk visits each child
// (an "entry" event) and later walks its subtree (a "subtree" event); in byte
// order another sibling may come between the two ("a", "a-b", "a/..."), and the
// listed child waits in `waiting` meanwhile.
struct Frame {
  std::string name;            // component under the parent; empty for the root
  std::size_t rel_length = 0;  // length of the relative path of this directory
  const ExpectNode* expect = nullptr;
  std::vector<Slot> slots;  // one per root
  std::vector<Child> children;
  std::vector<std::uint32_t> events;  // child index * 2, + 1 for its subtree
  std::size_t next_event = 0;
  std::vector<std::pair<std::uint32_t, std::unique_ptr<Frame>>> waiting;
};

constexpr std::size_t kMaxOpenDescriptors = 64;

class ReplicaWalk {
 public:
  ReplicaWalk(const std::vector<std::filesystem::path>& roots, const WalkOptions& options,
              const DirectoryVisitor& visitor)
      : roots_(roots),
        options_(options),
        visitor_(visitor),
        descriptor_budget_(std::max(kMaxOpenDescriptors, 2 * roots.size())),
        replicas_(roots.size()),
        subdirs_(roots.size()) {
    for (auto& replica : replicas_) replica.held = DaySet(options.start_date, options.end_date);
  }

  std::optional<RootError> run() {
    auto root = std::make_unique<Frame>();
    root->expect = options_.expected != nullptr ? &options_.expected->root() : nullptr;
    root->slots.resize(roots_.size());
    for (std::size_t r = 0; r < roots_.size(); ++r) {
      Slot& slot = root->slots[r];
      slot.fd = open_directory_at(AT_FDCWD, roots_[r].c_str(), /*follow_links=*/true);
      if (!slot.fd.valid()) return RootError{r, {errno, std::generic_category()}};
      ++open_count_;
      if (const int error = list(slot.fd.get(), r); error != 0) {
        return RootError{r, {error, std::generic_category()}};
      }
      slot.presence = Presence::kListed;
      replicas_[r].presence = Presence::kListed;
    }
    if (!visit(".", root->expect)) return std::nullopt;
    collect_children(*root);
    frames_.push_back(std::move(root));

    while (!frames_.empty() && !stopped_) {
      Frame& top = *frames_.back();
      if (top.next_event == top.events.size()) {
        pop();
        continue;
      }
      const std::uint32_t event = top.events[top.next_event++];
      if (event % 2 == 0) {
        enter(event / 2);
      } else {
        walk_subtree_of(event / 2);
      }
    }
    return std::nullopt;
  }

 private:
  std::size_t top_index() const { return frames_.size() - 1; }

  // Lists the directory open as `fd` for root r into replicas_[r] and subdirs_[r].
  // Returns 0 or the errno of a failed listing, which leaves nothing behind.
  int list(int fd, std::size_t r) {
    ReplicaDirectory& out = replicas_[r];
    const int error = read_directory(fd, buffer_, [&](DirectoryEntry entry) {
      switch (classify(fd, entry.name, entry.type)) {
        case EntryKind::kDirectory:
          subdirs_[r].emplace_back(entry.name);
          return;
        case EntryKind::kLinkToDirectory:
          return;
        case EntryKind::kOther:
          break;
      }
      const auto day = dated_name_day(entry.name);
      if (!day) {
        if (!options_.leftover_prefix.empty() &&
            std::string_view(entry.name).starts_with(options_.leftover_prefix)) {
          out.leftovers.emplace_back(entry.name);
        }
        return;
      }
      out.has_dated_names = true;
      if (out.held.insert(*day) && options_.keep_dated_files) {
        out.dated_files.push_back({(*day - sys_days{options_.start_date}).count(), entry.name,
                                   is_regular_file(fd, entry.name, entry.type)});
      }
    });
    if (error != 0) {
      // A listing that failed part-way is treated like one that failed at once.
      forget(r);
      subdirs_[r].clear();
    }
    return error;
  }

  void forget(std::size_t r) {
    ReplicaDirectory& replica = replicas_[r];
    // Days are only ever marked beside a dated name: no need to clear a whole
    // calendar of bits after each directory.
    if (replica.has_dated_names) replica.held.clear();
    replica.has_dated_names = false;
    replica.dated_files.clear();
    replica.leftovers.clear();
  }

  bool visit(std::string_view rel_path, const ExpectNode* expect) {
    if (!visitor_(rel_path, expect, replicas_)) stopped_ = true;
    for (std::size_t r = 0; r < replicas_.size(); ++r) forget(r);
    return !stopped_;
  }

  // Turns the subdirectory names just listed (and the expected names) into the
  // frame's children and the order of their events.
  void collect_children(Frame& frame) {
    auto& children = frame.children;
    for (std::size_t r = 0; r < subdirs_.size(); ++r) {
      for (auto& name : subdirs_[r]) children.push_back({std::move(name), std::uint64_t{1} << r});
      subdirs_[r].clear();
    }
    const bool sorted = options_.byte_order || roots_.size() > 1;
    if (sorted) {
      std::sort(children.begin(), children.end(),
                [](const Child& a, const Child& b) { return a.name < b.name; });
      // Merge the entries that several roots list.
      std::size_t kept = 0;
      for (std::size_t i = 0; i < children.size(); ++i) {
        if (kept > 0 && children[kept - 1].name == children[i].name) {
          children[kept - 1].listed_in |= children[i].listed_in;
        } else {
          if (kept != i) children[kept] = std::move(children[i]);
          ++kept;
        }
      }
      children.resize(kept);
    }
    if (frame.expect != nullptr && !frame.expect->children.empty()) {
      // No reallocation below: `listed` points into the children's names.
      children.reserve(children.size() + frame.expect->children.size());
      std::unordered_set<std::string_view> listed;
      for (auto& child : children) {
        const auto it = frame.expect->children.find(child.name);
        if (it != frame.expect->children.end()) child.expect = it->second.get();
        listed.insert(child.name);
      }
      const std::size_t before = children.size();
      for (const auto& [name, node] : frame.expect->children) {
        // Nothing can be reported of a subtree that no root has and no meter of which is in
        // service within the range.
        if (listed.contains(name) || !ExpectedDirectories::in_service_within(
                                         *node, options_.start_date, options_.end_date)) {
          continue;
        }
        children.push_back({name, 0, node.get()});
      }
      if (sorted && children.size() != before) {
        std::sort(children.begin(), children.end(),
                  [](const Child& a, const Child& b) { return a.name < b.name; });
      }
    }
    auto& events = frame.events;
    events.resize(children.size() * 2);
    for (std::uint32_t i = 0; i < events.size(); ++i) events[i] = i;
    if (options_.byte_order) {
      std::sort(events.begin(), events.end(), [&children](std::uint32_t a, std::uint32_t b) {
        return key_less(children[a / 2].name, a % 2 == 1, children[b / 2].name, b % 2 == 1);
      });
    }
  }

  // Visits child `index` of the top frame: opens and lists it under every root,
  // hands it to the visitor, and keeps it for its subtree when it has children.
  void enter(std::uint32_t index) {
    const std::size_t parent_index = top_index();
    auto child = std::make_unique<Frame>();
    {
      const Child& entry = frames_[parent_index]->children[index];
      child->name = entry.name;
      child->expect = entry.expect;
    }
    child->slots.resize(roots_.size());
    for (std::size_t r = 0; r < roots_.size(); ++r) {
      open_child(parent_index, index, r, *child);
      replicas_[r].presence = child->slots[r].presence;
      replicas_[r].error = child->slots[r].error;
    }

    const std::size_t parent_length = rel_path_.size();
    if (!rel_path_.empty()) rel_path_ += '/';
    rel_path_ += child->name;
    const bool go_on = visit(rel_path_, child->expect);
    rel_path_.resize(parent_length);
    collect_children(*child);
    if (!go_on || child->children.empty()) {
      release(*child);
      return;
    }
    Frame& parent = *frames_[parent_index];
    if (parent.next_event < parent.events.size() &&
        parent.events[parent.next_event] == index * 2 + 1) {
      ++parent.next_event;
      push(std::move(child));
      return;
    }
    // A sibling comes first: give the descriptors up until the subtree's turn.
    give_up_descriptors(*child);
    parent.waiting.emplace_back(index, std::move(child));
  }

  void open_child(std::size_t parent_index, std::uint32_t index, std::size_t r, Frame& child) {
    Slot& slot = child.slots[r];
    Frame& parent = *frames_[parent_index];
    slot.presence = parent.slots[r].presence;
    slot.error = parent.slots[r].error;
    if (slot.presence != Presence::kListed) return;  // absent or unreadable below too
    slot.presence = Presence::kUnreadable;
    if (!ensure_open(parent_index, r)) {
      // The parent cannot be reached again: nothing below it can be known.
      slot.error = errno;
      parent.slots[r].presence = Presence::kUnreadable;
      parent.slots[r].error = slot.error;
      return;
    }
    const Child& entry = parent.children[index];
    const int parent_fd = parent.slots[r].fd.get();
    if ((entry.listed_in >> r & 1) == 0) {
      // Not a directory in this root's listing: absent, unless something else
      // bears the name (a link, a file), where nothing can be listed or copied.
      struct stat st {};
      if (::fstatat(parent_fd, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        slot.error = errno;
        if (slot.error == ENOENT) slot.presence = Presence::kAbsent;
      } else {
        slot.error = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
      }
      return;
    }
    Fd fd = open_directory_at(parent_fd, entry.name.c_str(), false);
    if (!fd.valid()) {
      slot.error = errno;
      return;
    }
    if (const int error = list(fd.get(), r); error != 0) {
      slot.error = error;
      return;
    }
    slot.presence = Presence::kListed;
    slot.error = 0;
    slot.fd = std::move(fd);
    ++open_count_;
  }

  // Walks the subtree of child `index` of the top frame, listed earlier. Between
  // a child and its subtree come only siblings whose names extend its own, and
  // their subtrees come before its own: the children waiting form a stack.
  void walk_subtree_of(std::uint32_t index) {
    Frame& parent = *frames_.back();
    if (parent.waiting.empty() || parent.waiting.back().first != index) return;  // none below
    std::unique_ptr<Frame> child = std::move(parent.waiting.back().second);
    parent.waiting.pop_back();
    const std::size_t parent_index = top_index();
    for (std::size_t r = 0; r < roots_.size(); ++r) {
      Slot& slot = child->slots[r];
      if (slot.presence != Presence::kListed) continue;
      // Its children were listed from the directory that had this id; another one
      // in its place cannot be walked on that listing.
      slot.presence = Presence::kUnreadable;
      slot.error = ESTALE;
      Slot& parent_slot = frames_[parent_index]->slots[r];
      if (parent_slot.presence != Presence::kListed) continue;
      if (!ensure_open(parent_index, r)) {
        parent_slot.presence = Presence::kUnreadable;
        parent_slot.error = errno;
        slot.error = errno;
        continue;
      }
      Fd fd =
          open_directory_at(frames_[parent_index]->slots[r].fd.get(), child->name.c_str(), false);
      if (!fd.valid()) slot.error = errno;
      if (!fd.valid() || directory_id(fd.get()) != slot.id) continue;
      slot.fd = std::move(fd);
      slot.presence = Presence::kListed;
      slot.error = 0;
      ++open_count_;
    }
    push(std::move(child));
  }

  void push(std::unique_ptr<Frame> frame) {
    frame->rel_length = rel_path_.size() + (rel_path_.empty() ? 0 : 1) + frame->name.size();
    if (!rel_path_.empty()) rel_path_ += '/';
    rel_path_ += frame->name;
    frames_.push_back(std::move(frame));
    limit_open_descriptors();
  }

  // Leaves the top directory. Where the parent's descriptor was given up, it is
  // got back through ".." of the directory being left, if that still leads to
  // the same directory: one step per level, where a reopen from an ancestor
  // would cost one step per level of depth.
  void pop() {
    std::unique_ptr<Frame> leaving = std::move(frames_.back());
    frames_.pop_back();
    if (frames_.empty()) {
      release(*leaving);
      return;
    }
    Frame& parent = *frames_.back();
    rel_path_.resize(parent.rel_length);
    lowest_open_ = std::min(lowest_open_, frames_.size() - 1);
    for (std::size_t r = 0; r < roots_.size(); ++r) {
      Slot& up_slot = parent.slots[r];
      const Slot& down = leaving->slots[r];
      if (up_slot.fd.valid() || !down.fd.valid() || !up_slot.id) continue;
      Fd up = open_directory_at(down.fd.get(), "..", false);
      if (!up.valid() || directory_id(up.get()) != up_slot.id) continue;
      up_slot.fd = std::move(up);
      ++open_count_;
    }
    release(*leaving);
  }

  // Closes a frame's descriptors, keeping what identifies each directory.
  void give_up_descriptors(Frame& frame) {
    for (Slot& slot : frame.slots) {
      if (!slot.fd.valid()) continue;
      slot.id = directory_id(slot.fd.get());
      slot.fd.reset();
      --open_count_;
    }
  }

  void release(Frame& frame) {
    for (Slot& slot : frame.slots) {
      if (slot.fd.valid()) --open_count_;
      slot.fd.reset();
    }
  }

  // Gives up the descriptors nearest the root first; they are the ones needed last.
  void limit_open_descriptors() {
    while (open_count_ > descriptor_budget_ && lowest_open_ + 1 < frames_.size()) {
      give_up_descriptors(*frames_[lowest_open_++]);
    }
  }

  // Reopens root r's side of frames_[index] by walking down from the nearest
  // ancestor that has it open, one name at a time, so that no path longer than
  // one name is ever used.
  bool ensure_open(std::size_t index, std::size_t r) {
    if (frames_[index]->slots[r].fd.valid()) return true;
    std::size_t base = index;
    while (base > 0 && !frames_[base]->slots[r].fd.valid()) --base;
    Fd current;
    if (frames_[base]->slots[r].fd.valid()) {
      current = Fd(::dup(frames_[base]->slots[r].fd.get()));
    } else {
      current = open_directory_at(AT_FDCWD, roots_[r].c_str(), true);
    }
    for (std::size_t i = base + 1; current.valid() && i <= index; ++i) {
      current = open_directory_at(current.get(), frames_[i]->name.c_str(), false);
    }
    if (!current.valid()) return false;
    frames_[index]->slots[r].fd = std::move(current);
    ++open_count_;
    lowest_open_ = std::min(lowest_open_, index);
    limit_open_descriptors();
    return true;
  }

  const std::vector<std::filesystem::path>& roots_;
  const WalkOptions& options_;
  const DirectoryVisitor& visitor_;
  const std::size_t descriptor_budget_;
  std::vector<ReplicaDirectory> replicas_;         // the directory being visited
  std::vector<std::vector<std::string>> subdirs_;  // its subdirectories, per root
  std::vector<std::unique_ptr<Frame>> frames_;     // the path from the root
  std::string rel_path_;                           // of the top frame
  std::size_t open_count_ = 0;
  std::size_t lowest_open_ = 0;  // every frame below this index has no descriptor
  std::vector<char> buffer_ = std::vector<char>(std::size_t{64} * 1024);
  bool stopped_ = false;
};

}  // namespace

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

std::optional<RootError> walk_replicas(const std::vector<std::filesystem::path>& roots,
                                       const WalkOptions& options,
                                       const DirectoryVisitor& visitor) {
  if (roots.empty() || roots.size() > kMaxRoots) {
    throw std::invalid_argument("a walk takes 1 to " + std::to_string(kMaxRoots) + " roots");
  }
  return ReplicaWalk(roots, options, visitor).run();
}

}  // namespace quelmar::profile_logs::detail
