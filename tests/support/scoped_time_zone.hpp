// Setting the TZ environment variable for a scope of a test.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

namespace quelmar::testing {

// Sets TZ (a POSIX zone such as "NZST-12", needing no zone files) for its lifetime.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = ::getenv("TZ")) saved_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> saved_;
};

}  // namespace quelmar::testing
