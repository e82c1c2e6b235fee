// What the client refuses before anything is sent: requests that would name another resource
// than the caller meant, leak the token, or carry nonsense.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace corvane::api::guards {

// An app name or machine id that is empty, "." or "..", holds such a segment between '/' or '\'
// (a server may decode an escaped '/' before routing), or holds a control character.
// Throws std::invalid_argument naming `what`.
void require_path_segment(const std::string& text, const char* what);

// A token that could break the header it travels in.
void require_token(const std::string& token);

// Throws std::invalid_argument unless `base_url` is https://, or http:// to this machine.
// Returns whether it is plain http://.
bool require_safe_base_url(const std::string& base_url);

// 127.0.0.0/8, ::1 (bracketed or not) or "localhost", in any letter case.
bool is_loopback_host(std::string_view host);

void require_object(const nlohmann::json& value, const char* what);
void require_port(const std::optional<int>& port, const char* what);

}  // namespace corvane::api::guards
