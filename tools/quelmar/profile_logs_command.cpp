// quelmar profile-logs missing PATH --from DATE --to DATE [--folder] [--json]

#include <cstdio>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "commands.hpp"
#include "quelmar/profile_logs/dunmere.hpp"

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

std::string iso(Date d) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(d.year()),
                static_cast<unsigned>(d.month()), static_cast<unsigned>(d.day()));
  return text;
}

// Runs of consecutive days as "A..B", single days as "A".
std::string collapse_ranges(const std::vector<Date>& dates) {
  std::string text;
  for (std::size_t i = 0; i < dates.size();) {
    std::size_t j = i;
    while (j + 1 < dates.size() &&
           std::chrono::sys_days{dates[j + 1]} - std::chrono::sys_days{dates[j]} ==
               std::chrono::days{1}) {
      ++j;
    }
    if (!text.empty()) text += ", ";
    text += iso(dates[i]);
    if (j > i) text += ".." + iso(dates[j]);
    i = j + 1;
  }
  return text;
}

// Directory names may hold any byte; keep each report on one line.
std::string printable(const std::string& name) {
  std::string text;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      text += escaped;
    } else {
      text += c;
    }
  }
  return text;
}

nlohmann::ordered_json date_array(const std::vector<Date>& dates) {
  auto array = nlohmann::ordered_json::array();
  for (Date d : dates) array.push_back(iso(d));
  return array;
}

std::string dump_json(const nlohmann::ordered_json& value) {
  // Names that are not UTF-8 must not abort the report.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

struct MissingOptions {
  std::string path;
  std::string from;
  std::string to;
  bool folder = false;
  bool json = false;
};

void write_text(std::ostream& out, const dunmere::MissingFilesMap& report, Date from, Date to) {
  std::size_t total = 0;
  for (const auto& [dir, dates] : report) {
    out << printable(dir) << ": " << collapse_ranges(dates) << " (" << dates.size()
        << (dates.size() == 1 ? " day)\n" : " days)\n");
    total += dates.size();
  }
  const auto range_days = dunmere::generate_date_range(from, to).size();
  const std::string range = iso(from) + ".." + iso(to) + " (" + std::to_string(range_days) +
                            (range_days == 1 ? " day)" : " days)");
  if (report.empty()) {
    out << "no days missing in " << range << '\n';
  } else {
    out << total << (total == 1 ? " day" : " days") << " missing in " << report.size()
        << (report.size() == 1 ? " directory" : " directories") << " for " << range << '\n';
  }
}

int run_missing(const MissingOptions& options, const Io& io) {
  const auto from = parse_iso_date(options.from);
  const auto to = parse_iso_date(options.to);
  const std::filesystem::path path(options.path);

  dunmere::MissingFilesMap report;
  if (options.folder) {
    std::vector<Date> missing;
    try {
      missing = dunmere::check_missing_files_for_folder(path, *from, *to);
    } catch (const std::filesystem::filesystem_error& e) {
      throw CommandError("cannot list " + options.path + ": " + e.code().message());
    }
    if (options.json) {
      io.out << dump_json(date_array(missing)) << '\n';
      return missing.empty() ? kExitComplete : kExitMissing;
    }
    if (!missing.empty()) report.emplace_back(options.path, std::move(missing));
  } else {
    report = dunmere::check_missing_files(path, *from, *to);
    if (options.json) {
      auto object = nlohmann::ordered_json::object();
      for (const auto& [dir, dates] : report) object[dir] = date_array(dates);
      io.out << dump_json(object) << '\n';
      return report.empty() ? kExitComplete : kExitMissing;
    }
  }
  write_text(io.out, report, *from, *to);
  return report.empty() ? kExitComplete : kExitMissing;
}

}  // namespace

void add_profile_logs_commands(CLI::App& app, const Io& io, int& status) {
  auto* group = app.add_subcommand("profile-logs", "Audit replicas of daily profile-log files");
  group->require_subcommand(1);
  auto* missing = group->add_subcommand(
      "missing",
      "Report the days of a date range that have no profile-log file (NAME-YYYYMMDD.csv).\n"
      "Scans every directory under PATH and lists those with dated files and gaps; with\n"
      "--folder, checks PATH alone. Exit status: 0 nothing missing, 1 days missing,\n"
      "2 usage error or PATH cannot be listed (--folder).");
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
                    "Print JSON: an object of directory -> missing days (\".\" is PATH), or with "
                    "--folder an array of missing days");
  missing->callback([options, &io, &status] { status = run_missing(*options, io); });
}

}  // namespace quelmar::cli
