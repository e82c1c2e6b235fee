// quelmar profile-logs missing PATH --from DATE --to DATE [--folder] [--json]

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "commands.hpp"
#include "quelmar/profile_logs/dunmere.hpp"
#include "quelmar/util/escape.hpp"
#include "quelmar/util/json_text.hpp"

namespace quelmar::cli {
namespace {

namespace dunmere = profile_logs::dunmere;
using dunmere::Date;

constexpr int kExitComplete = 0;
constexpr int kExitMissing = 1;

// Strict ISO calendar date, YYYY-MM-DD, years 1 to 9999.
std::optional<Date> parse_iso_date(const std::string& text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  int parts[3] = {0, 0, 0};
  const std::size_t starts[3] = {0, 5, 8};
  const std::size_t lengths[3] = {4, 2, 2};
  for (int p = 0; p < 3; ++p) {
    for (std::size_t i = 0; i < lengths[p]; ++i) {
      const char c = text[starts[p] + i];
      if (c < '0' || c > '9') return std::nullopt;
      parts[p] = parts[p] * 10 + (c - '0');
    }
  }
  const Date date{std::chrono::year{parts[0]}, std::chrono::month{static_cast<unsigned>(parts[1])},
                  std::chrono::day{static_cast<unsigned>(parts[2])}};
  if (parts[0] < 1 || !date.ok()) return std::nullopt;
  return date;
}

// Writes small pieces to the stream in large blocks: a report over the whole
// calendar holds millions of days.
class BlockWriter {
 public:
  explicit BlockWriter(std::ostream& out) : out_(out) { block_.reserve(kBlock + 64); }
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;

  BlockWriter& operator<<(std::string_view text) {
    block_ += text;
    if (block_.size() >= kBlock) flush();
    return *this;
  }
  BlockWriter& operator<<(std::uint64_t n) { return *this << std::string_view(std::to_string(n)); }
  BlockWriter& operator<<(Date d) {
    const int year = static_cast<int>(d.year());
    const auto month = static_cast<unsigned>(d.month());
    const auto day = static_cast<unsigned>(d.day());
    const char digits[] = {static_cast<char>('0' + year / 1000),
                           static_cast<char>('0' + year / 100 % 10),
                           static_cast<char>('0' + year / 10 % 10),
                           static_cast<char>('0' + year % 10),
                           '-',
                           static_cast<char>('0' + month / 10),
                           static_cast<char>('0' + month % 10),
                           '-',
                           static_cast<char>('0' + day / 10),
                           static_cast<char>('0' + day % 10)};
    return *this << std::string_view(digits, sizeof digits);
  }

  // Hands the block to the stream; nothing reaches it otherwise. True while
  // everything written so far has reached the stream.
  bool flush() {
    if (!block_.empty() && out_) {
      out_.write(block_.data(), static_cast<std::streamsize>(block_.size()));
    }
    block_.clear();
    return static_cast<bool>(out_);
  }

 private:
  static constexpr std::size_t kBlock = std::size_t{64} * 1024;
  std::ostream& out_;
  std::string block_;
};

std::uint64_t days_in_range(Date from, Date to) {
  return static_cast<std::uint64_t>(
      (std::chrono::sys_days{to} - std::chrono::sys_days{from}).count() + 1);
}

const char* plural(std::uint64_t n, const char* one, const char* many) {
  return n == 1 ? one : many;
}

// One report line: the directory, inert on a terminal, then runs of consecutive
// days as "A..B" and single days as "A".
void write_text_line(BlockWriter& out, std::string_view dir, const std::vector<Date>& dates) {
  out << util::escape_for_terminal(dir) << ": ";
  for (std::size_t i = 0; i < dates.size();) {
    std::size_t j = i;
    while (j + 1 < dates.size() &&
           std::chrono::sys_days{dates[j + 1]} - std::chrono::sys_days{dates[j]} ==
               std::chrono::days{1}) {
      ++j;
    }
    if (i > 0) out << ", ";
    out << dates[i];
    if (j > i) out << ".." << dates[j];
    i = j + 1;
  }
  out << " (" << std::uint64_t{dates.size()} << plural(dates.size(), " day)\n", " days)\n");
}

void write_text_summary(BlockWriter& out, std::uint64_t total, std::uint64_t directories, Date from,
                        Date to) {
  const std::uint64_t range_days = days_in_range(from, to);
  if (directories == 0) {
    out << "no days missing in ";
  } else {
    out << total << plural(total, " day", " days") << " missing in " << directories
        << plural(directories, " directory", " directories") << " for ";
  }
  out << from << ".." << to << " (" << range_days << plural(range_days, " day)\n", " days)\n");
}

void write_json_dates(BlockWriter& out, const std::vector<Date>& dates) {
  out << "[";
  for (std::size_t i = 0; i < dates.size(); ++i) {
    out << (i == 0 ? "\"" : ",\"") << dates[i] << "\"";
  }
  out << "]";
}

// Directory names are bytes: keys keep every byte, escaped reversibly so that the
// JSON stays valid UTF-8 and two directories never share a key. ASCII-only, like the
// fly commands' JSON, so that no name can drive a terminal.
std::string json_key(std::string_view dir) {
  return util::dump_json(nlohmann::json(util::escape_invalid_utf8(dir)), util::JsonCharset::kAscii);
}

struct MissingOptions {
  std::string path;
  std::string from;
  std::string to;
  bool folder = false;
  bool json = false;
};

// The folder check counts a folder that does not exist as missing every day, so a
// path whose existence cannot even be tested must not reach it.
void require_existence_known(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return;
  const int error = errno;
  if (error == ENOENT || error == ENOTDIR) return;
  throw CommandError("cannot check " + path + ": " + std::generic_category().message(error));
}

int run_folder(const MissingOptions& options, Date from, Date to, const Io& io) {
  require_existence_known(options.path);
  std::vector<Date> missing;
  try {
    missing = dunmere::check_missing_files_for_folder(options.path, from, to);
  } catch (const std::filesystem::filesystem_error& e) {
    throw CommandError("cannot list " + options.path + ": " + e.code().message());
  }
  BlockWriter out(io.out);
  if (options.json) {
    write_json_dates(out, missing);
    out << "\n";
  } else {
    if (!missing.empty()) write_text_line(out, options.path, missing);
    write_text_summary(out, missing.size(), missing.empty() ? 0 : 1, from, to);
  }
  if (!out.flush()) return kExitUsage;
  return missing.empty() ? kExitComplete : kExitMissing;
}

// Writes each directory as the walk finds it; nothing is collected, and the walk
// ends as soon as the output cannot be written.
int run_tree(const MissingOptions& options, Date from, Date to, const Io& io) {
  BlockWriter out(io.out);
  std::uint64_t directories = 0;
  std::uint64_t total = 0;
  const std::error_code error = dunmere::visit_missing_files(
      options.path, from, to, [&](std::string_view dir, const std::vector<Date>& missing) {
        if (options.json) {
          out << (directories == 0 ? "{" : ",") << json_key(dir) << ":";
          write_json_dates(out, missing);
        } else {
          write_text_line(out, dir, missing);
        }
        ++directories;
        total += missing.size();
        return out.flush();
      });
  if (error) {
    throw CommandError("cannot scan " + options.path + ": " + error.message());
  }
  if (!out.flush()) return kExitUsage;  // never a summary after a failed write
  if (options.json) {
    out << (directories == 0 ? "{}\n" : "}\n");
  } else {
    write_text_summary(out, total, directories, from, to);
  }
  if (!out.flush()) return kExitUsage;
  return directories == 0 ? kExitComplete : kExitMissing;
}

int run_missing(const MissingOptions& options, const Io& io) {
  const auto from = parse_iso_date(options.from);
  const auto to = parse_iso_date(options.to);
  if (std::chrono::sys_days{*to} < std::chrono::sys_days{*from}) {
    throw CommandError("--from " + options.from + " is later than --to " + options.to);
  }
  return options.folder ? run_folder(options, *from, *to, io) : run_tree(options, *from, *to, io);
}

}  // namespace

void add_profile_logs_commands(CLI::App& app, const Io& io, int& status) {
  auto* group = app.add_subcommand("profile-logs", "Audit replicas of daily profile-log files");
  group->require_subcommand(1);
  auto* missing = group->add_subcommand(
      "missing",
      "Report the days of a date range that have no profile-log file (NAME-YYYYMMDD.csv).\n"
      "Scans every directory under PATH and lists those with dated files and gaps, each as\n"
      "soon as it is found; with --folder, checks PATH alone (a folder that does not exist\n"
      "misses every day).\n"
      "Directory names: in text, a backslash is shown as \\\\, bytes that are not UTF-8 and\n"
      "control characters as \\xNN, and invisible or reordering characters (C1, bidi\n"
      "controls, U+2028, U+2029) as \\u{XXXX}. In JSON keys, a backslash is \\\\ and each\n"
      "byte that is not UTF-8 is \\xNN; undo both to get the exact bytes back.\n"
      "Exit status: 0 nothing missing, 1 days missing, 2 usage error (bad date, --from\n"
      "later than --to), PATH cannot be scanned (does not exist, is not a directory,\n"
      "cannot be listed; with --folder: cannot be listed or its existence cannot be\n"
      "checked), or the output cannot be written.");
  auto options = std::make_shared<MissingOptions>();
  const auto iso_date = CLI::Validator(
      [](const std::string& text) {
        return parse_iso_date(text) ? std::string() : "not a calendar date (YYYY-MM-DD): " + text;
      },
      "YYYY-MM-DD");
  missing->add_option("PATH", options->path, "Replica tree (or, with --folder, one folder)")
      ->required();
  missing->add_option("--from", options->from, "First day, inclusive")->required()->check(iso_date);
  missing->add_option("--to", options->to, "Last day, inclusive")->required()->check(iso_date);
  missing->add_flag("--folder", options->folder, "Check PATH alone, not its subdirectories");
  missing->add_flag("--json", options->json,
                    "Print JSON: an object of directory (escaped as above; \".\" is PATH) -> "
                    "missing days, written as the scan goes, or with --folder an array of "
                    "missing days");
  missing->callback([options, &io, &status] { status = run_missing(*options, io); });
}

}  // namespace quelmar::cli
