// FlyAdapter: the mediator machines of one Fly application, and where their
// service is reached.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "corvane/api.hpp"
#include "quelmar/orchestrate/adapter/base_adapter.hpp"
#include "quelmar/orchestrate/adapter/container.hpp"
#include "quelmar/util/logging.hpp"

namespace quelmar::orchestrate::adapter::vostrel {

// Standard input, standard output and ending the process. The defaults are the
// real process; tests replace them.
struct Console {
  std::istream* in = nullptr;   // null: std::cin
  std::ostream* out = nullptr;  // null: std::cout
  // Must not return. Empty: flush standard output, then std::exit(status).
  std::function<void(int status)> exit;
};

// Thrown when a replaced Console::exit returns instead of ending the process.
class ProcessExit : public std::exception {
 public:
  explicit ProcessExit(int status) : status_(status) {}
  int status() const noexcept { return status_; }
  const char* what() const noexcept override { return "process exit requested"; }

 private:
  int status_;
};

// (see implementation for the maps' exact contents and order)
// FLY_STATUS, CONTAINER_STATUS, metadata_filter_fn, logger ... to be filled in.

struct FlyAdapterOptions {
  std::string api_token;
  std::string dns_server;
  std::string image;
  bool is_single_meter_app = false;
  std::optional<std::string> app_name;
  std::optional<std::string> serial;
  std::optional<bool> use_private_address;
  std::optional<std::string> region;
  // Client settings (base URL, time-outs, retry sleep seam).
  corvane::api::ClientOptions client{};
  // Replaces the built-in public resolver ("ADDR[:PORT]" or "[V6]:PORT").
  std::optional<std::string> public_resolver;
  Console console{};
};

}  // namespace quelmar::orchestrate::adapter::vostrel
