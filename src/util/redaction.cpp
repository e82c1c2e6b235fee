#include "quelmar/util/redaction.hpp"

#include <algorithm>

namespace quelmar::util {

namespace {

constexpr std::string_view kFlyV1Prefix = "FlyV1 ";
constexpr std::string_view kBlank = " \t\r\n\v\f";

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

bool is_word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// A run of text to replace; overlapping occurrences are merged into one run.
struct Run {
  std::size_t begin;
  std::size_t end;
};

// Every occurrence is found in the original text, so a replacement can never itself be
// matched again.
std::vector<Run> runs_of(const std::vector<std::string>& secrets, std::string_view text) {
  std::vector<Run> found;
  for (const std::string& secret : secrets) {
    const bool whole_word_only = secret.size() < Redactor::kShortSecret;
    for (auto at = text.find(secret); at != std::string_view::npos;
         at = text.find(secret, at + 1)) {
      const std::size_t end = at + secret.size();
      if (whole_word_only && ((at > 0 && is_word_char(text[at - 1])) ||
                              (end < text.size() && is_word_char(text[end])))) {
        continue;
      }
      found.push_back({at, end});
    }
  }
  std::sort(found.begin(), found.end(),
            [](const Run& a, const Run& b) { return a.begin < b.begin; });
  std::vector<Run> merged;
  for (const Run& run : found) {
    if (!merged.empty() && run.begin < merged.back().end) {
      merged.back().end = std::max(merged.back().end, run.end);
    } else {
      merged.push_back(run);
    }
  }
  return merged;
}

}  // namespace

void Redactor::add_token(std::string_view token) {
  const auto add = [this](std::string_view secret) {
    if (trimmed(secret).empty()) return;
    if (std::find(secrets_.begin(), secrets_.end(), secret) == secrets_.end()) {
      secrets_.emplace_back(secret);
    }
  };
  add(token);
  if (!token.starts_with(kFlyV1Prefix)) return;
  const std::string_view body = token.substr(kFlyV1Prefix.size());
  add(body);
  for (std::size_t begin = 0; begin <= body.size();) {
    const std::size_t end = std::min(body.find(',', begin), body.size());
    add(trimmed(body.substr(begin, end - begin)));
    begin = end + 1;
  }
}

std::string Redactor::redact(std::string_view text) const {
  std::string result;
  redact_prefix(text, 0, text.size(), result);
  return result;
}

std::size_t Redactor::redact_prefix(std::string_view text, std::size_t from, std::size_t until,
                                    std::string& out) const {
  std::size_t end = std::min(until, text.size());
  const std::vector<Run> runs = runs_of(secrets_, text);
  for (const Run& run : runs) {
    if (run.begin < end && run.end > end) end = run.end;
  }
  out.reserve(out.size() + (end - std::min(from, end)));
  std::size_t done = from;
  for (const Run& run : runs) {
    if (run.begin >= end) break;
    if (run.end <= done) continue;
    if (run.begin > done) out.append(text.substr(done, run.begin - done));
    out.append(kRedacted);
    done = run.end;
  }
  if (done < end) out.append(text.substr(done, end - done));
  return end;
}

std::size_t Redactor::longest_secret() const {
  std::size_t longest = 0;
  for (const auto& secret : secrets_) longest = std::max(longest, secret.size());
  return longest;
}

}  // namespace quelmar::util
