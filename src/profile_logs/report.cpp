#include "quelmar/profile_logs/report.hpp"

#include <cerrno>
#include <chrono>

#include <nlohmann/json.hpp>

#include "quelmar/util/escape.hpp"
#include "quelmar/util/json_text.hpp"

namespace quelmar::profile_logs::report {

namespace {

std::uint64_t days_in_range(Date from, Date to) {
  return static_cast<std::uint64_t>(
      (std::chrono::sys_days{to} - std::chrono::sys_days{from}).count() + 1);
}

}  // namespace

BlockWriter::BlockWriter(std::ostream& out) : out_(out) { block_.reserve(kBlock + 64); }

BlockWriter& BlockWriter::operator<<(Date d) {
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

bool BlockWriter::flush() {
  if (!block_.empty() && out_)
    out_.write(block_.data(), static_cast<std::streamsize>(block_.size()));
  block_.clear();
  return static_cast<bool>(out_);
}

const char* plural(std::uint64_t n, const char* one, const char* many) {
  return n == 1 ? one : many;
}

void write_runs(BlockWriter& out, const DaySet& days) {
  bool first = true;
  days.for_each_run([&](Date a, Date b) {
    if (!first) out << ", ";
    first = false;
    out << a;
    if (b != a) out << ".." << b;
  });
  const std::uint64_t n = days.size();
  out << " (" << n << plural(n, " day)\n", " days)\n");
}

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

void write_range(BlockWriter& out, Date from, Date to) {
  const std::uint64_t range_days = days_in_range(from, to);
  out << from << ".." << to << " (" << range_days << plural(range_days, " day)", " days)");
}

void write_json_dates(BlockWriter& out, const std::vector<Date>& dates) {
  out << "[";
  for (std::size_t i = 0; i < dates.size(); ++i) {
    out << (i == 0 ? "\"" : ",\"") << dates[i] << "\"";
  }
  out << "]";
}

void write_json_days(BlockWriter& out, const DaySet& days) {
  out << "[";
  bool first = true;
  days.for_each_index([&](std::int64_t i) {
    out << (first ? "\"" : ",\"") << days.day_at(i) << "\"";
    first = false;
  });
  out << "]";
}

std::string json_key(std::string_view dir) {
  return util::dump_json(nlohmann::json(util::escape_invalid_utf8(dir)), util::JsonCharset::kAscii);
}

std::string unreadable_reason(std::error_code reason) {
  if (reason.value() == ELOOP) return "symbolic link, not followed";
  return reason.message();
}

MissingReport::MissingReport(std::ostream& out, std::ostream& err, bool json, Date from, Date to)
    : out_(out), err_(err), json_(json), from_(from), to_(to) {}

bool MissingReport::add_directory(std::string_view dir, const std::vector<Date>& missing) {
  if (json_) {
    out_ << (directories_ == 0 ? "{" : ",") << json_key(dir) << ":";
    write_json_dates(out_, missing);
  } else {
    write_text_line(out_, dir, missing);
  }
  ++directories_;
  missing_days_ += missing.size();
  return out_.flush();
}

bool MissingReport::add_unreadable(std::string_view dir, std::error_code reason) {
  if (!json_) {
    out_ << util::escape_for_terminal(dir) << ": cannot be read (" << unreadable_reason(reason)
         << ")\n";
  } else if (unreadable_ < MAX_LISTED_UNREADABLE) {
    err_ << "quelmar: cannot list " << util::escape_for_terminal(dir) << ": "
         << unreadable_reason(reason) << '\n';
  }
  ++unreadable_;
  return out_.flush();
}

bool MissingReport::finish() {
  if (!out_.flush()) return false;
  if (json_) {
    out_ << (directories_ == 0 ? "{}\n" : "}\n");
    if (unreadable_ > MAX_LISTED_UNREADABLE) {
      const std::uint64_t more = unreadable_ - MAX_LISTED_UNREADABLE;
      err_ << "quelmar: " << more << plural(more, " more directory", " more directories")
           << " cannot be listed\n";
    }
    return out_.flush();
  }
  const std::uint64_t total = missing_days_;
  const std::uint64_t directories = directories_;
  const std::uint64_t unreadable = unreadable_;
  BlockWriter& out = out_;

  if (directories == 0 && unreadable == 0) {
    out << "no days missing in ";
  } else if (directories == 0) {
    out << "no days missing, " << unreadable
        << plural(unreadable, " directory cannot", " directories cannot") << " be read, in ";
  } else {
    out << total << plural(total, " day", " days") << " missing in " << directories
        << plural(directories, " directory", " directories");
    if (unreadable > 0) {
      out << ", " << unreadable << plural(unreadable, " directory cannot", " directories cannot")
          << " be read,";
    }
    out << " for ";
  }
  write_range(out, from_, to_);
  out << "\n";
  return out.flush();
}

}  // namespace quelmar::profile_logs::report
