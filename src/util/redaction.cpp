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

struct Match {
  std::size_t at;
  std::size_t size;
};

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
  // Every match is found in the original text, so a replacement can never
  // itself be matched again.
  std::vector<Match> matches;
  for (const std::string& secret : secrets_) {
    const bool whole_word_only = secret.size() < kShortSecret;
    for (auto at = text.find(secret); at != std::string_view::npos;
         at = text.find(secret, at + 1)) {
      const std::size_t end = at + secret.size();
      if (whole_word_only && ((at > 0 && is_word_char(text[at - 1])) ||
                              (end < text.size() && is_word_char(text[end])))) {
        continue;
      }
      matches.push_back({at, secret.size()});
    }
  }
  if (matches.empty()) return std::string(text);
  std::sort(matches.begin(), matches.end(), [](const Match& a, const Match& b) {
    return a.at != b.at ? a.at < b.at : a.size > b.size;
  });
  std::string result;
  result.reserve(text.size());
  std::size_t done = 0;
  for (const Match& match : matches) {
    if (match.at < done) {
      // Overlaps a replaced run: redact through its end as well.
      if (match.at + match.size > done) done = match.at + match.size;
      continue;
    }
    result.append(text.substr(done, match.at - done));
    result.append(kRedacted);
    done = match.at + match.size;
  }
  result.append(text.substr(done));
  return result;
}

}  // namespace quelmar::util
