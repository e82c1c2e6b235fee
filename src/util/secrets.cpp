#include "quelmar/util/secrets.hpp"

#include <map>
#include <mutex>
#include <utility>

namespace quelmar::util {

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, int> counts;
  // Rebuilt on every change, so that readers never wait for a redaction in progress.
  std::shared_ptr<const Redactor> redactor = std::make_shared<Redactor>();

  void rebuild() {
    auto fresh = std::make_shared<Redactor>();
    for (const auto& [secret, count] : counts) fresh->add_token(secret);
    redactor = std::move(fresh);
  }
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

SecretScope::SecretScope(std::string secret) : secret_(std::move(secret)), active_(true) {
  Registry& reg = registry();
  std::lock_guard lock(reg.mutex);
  if (++reg.counts[secret_] == 1) reg.rebuild();
}

SecretScope::~SecretScope() {
  if (!active_) return;
  Registry& reg = registry();
  std::lock_guard lock(reg.mutex);
  auto found = reg.counts.find(secret_);
  if (found != reg.counts.end() && --found->second <= 0) {
    reg.counts.erase(found);
    reg.rebuild();
  }
}

SecretScope::SecretScope(SecretScope&& other) noexcept
    : secret_(std::move(other.secret_)), active_(std::exchange(other.active_, false)) {}

SecretScope& SecretScope::operator=(SecretScope&& other) noexcept {
  if (this != &other) {
    SecretScope old(std::move(*this));
    secret_ = std::move(other.secret_);
    active_ = std::exchange(other.active_, false);
  }
  return *this;
}

std::shared_ptr<const Redactor> current_secrets() {
  Registry& reg = registry();
  std::lock_guard lock(reg.mutex);
  return reg.redactor;
}

std::string redact_secrets(std::string_view text) { return current_secrets()->redact(text); }

}  // namespace quelmar::util
