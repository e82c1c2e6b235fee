// The single place where an HTTP exchange becomes an Answer: the platform said yes, said no, or
// gave no usable answer.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "corvane/answer.hpp"
#include "quelmar/util/bounded_json.hpp"
#include "transport.hpp"

namespace corvane::api::answers {

// Deeper answers are refused unread: nothing a client needs nests that far, and rendering them
// recursively could exhaust the stack.
inline constexpr int kMaxAnswerDepth = 128;

// Parses without recursing; an answer nested deeper than kMaxAnswerDepth is reported as too
// deep rather than parsed. Malformed text gives a discarded value.
using Parsed = quelmar::util::BoundedJson;
Parsed parse(const std::string& text);

// The answer of a whole-body response.
Answer answer_of(const transport::Response& response);

// The verdict and failure map of a response that is not a 2xx, or that failed in transport.
Answer failed(const transport::Response& response);

// An unusable answer of `status` (a 2xx that is malformed, too deep or of the wrong shape).
Answer unusable(long status, const std::string& why);

// `text` cut to a length fit for a message.
std::string truncated(std::string_view text);

}  // namespace corvane::api::answers
