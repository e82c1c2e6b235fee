#include "answer_mapping.hpp"

#include <algorithm>
#include <cctype>

#include "quelmar/util/json_text.hpp"
#include "quelmar/util/truncate.hpp"

namespace corvane::api {

using nlohmann::json;

namespace answers {

namespace {

constexpr std::size_t kMaxErrorText = 200;

bool is_blank(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isspace(c) != 0; });
}

const char* reason_phrase(long status) {
  switch (status) {
    case 400:
      return "bad request";
    case 401:
      return "unauthorized";
    case 403:
      return "forbidden";
    case 404:
      return "not found";
    case 408:
      return "request timed out";
    case 409:
      return "conflict";
    case 412:
      return "precondition failed";
    case 422:
      return "unprocessable entity";
    case 429:
      return "too many requests";
    case 500:
      return "internal server error";
    case 502:
      return "bad gateway";
    case 503:
      return "service unavailable";
    case 504:
      return "gateway timeout";
    default:
      if (status >= 300 && status <= 399) return "redirect (not followed)";
      return status >= 500 ? "server error" : "request failed";
  }
}

json failure_map(long status, const std::string& text) {
  return json{{"error", "HTTP " + std::to_string(status) + ": " + text}};
}

Verdict verdict_of_status(long status) {
  return status >= 400 && status <= 499 ? Verdict::kRefused : Verdict::kUnanswered;
}

bool says_not_ok(const json& value) {
  if (!value.is_object()) return false;
  auto ok = value.find("ok");
  return ok != value.end() && *ok == false;
}

}  // namespace

std::string truncated(std::string_view text) {
  return quelmar::util::truncated(text, kMaxErrorText);
}

Parsed parse(const std::string& text) {
  return quelmar::util::parse_json_bounded(text, kMaxAnswerDepth);
}

Answer unusable(long status, const std::string& why) {
  return {Verdict::kUnanswered, status, failure_map(status, why)};
}

Answer failed(const transport::Response& response) {
  if (response.status == 0) {
    return {Verdict::kUnanswered, 0, json{{"error", response.failure}}};
  }
  const long status = response.status;
  const Verdict verdict = verdict_of_status(status);
  const Parsed parsed = parse(response.body);
  if (parsed.too_deep) return {verdict, status, json{{"error", "answer nested too deeply"}}};
  const json& value = parsed.value;
  if (!value.is_discarded() && value.is_object()) {
    if (value.contains("error")) return {verdict, status, value};
    auto message = value.find("message");
    if (message != value.end() && message->is_string()) {
      return {verdict, status, failure_map(status, truncated(message->get<std::string>()))};
    }
  }
  if (!is_blank(response.body))
    return {verdict, status, failure_map(status, truncated(response.body))};
  return {verdict, status, failure_map(status, reason_phrase(status))};
}

Answer answer_of(const transport::Response& response) {
  const long status = response.status;
  if (status < 200 || status > 299) return failed(response);
  if (is_blank(response.body)) return {Verdict::kDone, status, json::object()};
  Parsed parsed = parse(response.body);
  if (parsed.too_deep)
    return {Verdict::kUnanswered, status, json{{"error", "answer nested too deeply"}}};
  if (parsed.value.is_discarded()) {
    return unusable(status, "malformed JSON in response: " + truncated(response.body));
  }
  // The platform's way of saying no to a stop or a destroy.
  if (says_not_ok(parsed.value)) return {Verdict::kRefused, status, std::move(parsed.value)};
  return {Verdict::kDone, status, std::move(parsed.value)};
}

}  // namespace answers
}  // namespace corvane::api
