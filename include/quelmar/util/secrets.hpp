// The secrets (API tokens) that the process holds. They are hidden wherever text leaves the
// program: every log line, the CLI's output streams and the adapter's printed lines. Data the
// program keeps or sends back is never changed.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "quelmar/util/redaction.hpp"

namespace quelmar::util {

// Registers a secret for as long as the scope lives. Scopes may overlap and name the same
// secret; it stays hidden until the last of them ends.
class SecretScope {
 public:
  explicit SecretScope(std::string secret);
  ~SecretScope();
  SecretScope(SecretScope&& other) noexcept;
  SecretScope& operator=(SecretScope&& other) noexcept;
  SecretScope(const SecretScope&) = delete;
  SecretScope& operator=(const SecretScope&) = delete;

 private:
  std::string secret_;
  bool active_ = false;
};

// The secrets registered now, as one redactor.
std::shared_ptr<const Redactor> current_secrets();

// `text` with every registered secret replaced (Redactor's rules).
std::string redact_secrets(std::string_view text);

}  // namespace quelmar::util
