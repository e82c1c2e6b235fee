// Numeric command-line options, all read by one strict parser.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>

#include <CLI/CLI.hpp>

#include "quelmar/util/decimal.hpp"

namespace quelmar::cli_options {

using CountRange = util::DecimalRange;

// Defines `name` as an option of ASCII decimal digits within `range`: no sign, space, hex or
// leading zero. Anything else is a ValidationError naming the option and the range. The range
// is shown in --help after `description`, and `default_text`, when given, as the default.
CLI::Option* add_count_option(CLI::App& app, const std::string& name,
                              std::function<void(std::uint64_t)> store, CountRange range,
                              const std::string& description,
                              const std::optional<std::string>& default_text);

namespace detail {
template <typename T>
void check_fits(CountRange range) {
  static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
  if (range.min > range.max ||
      range.max > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
    throw std::logic_error("a count option's range does not fit its variable");
  }
}
}  // namespace detail

// The target's value before parsing is the default shown in --help.
template <typename T>
CLI::Option* add_count_option(CLI::App& app, const std::string& name, T& target, CountRange range,
                              const std::string& description) {
  detail::check_fits<T>(range);
  return add_count_option(
      app, name, [&target](std::uint64_t value) { target = static_cast<T>(value); }, range,
      description, std::to_string(target));
}

// Without a default: the target stays empty unless the option is given.
template <typename T>
CLI::Option* add_count_option(CLI::App& app, const std::string& name, std::optional<T>& target,
                              CountRange range, const std::string& description) {
  detail::check_fits<T>(range);
  return add_count_option(
      app, name, [&target](std::uint64_t value) { target = static_cast<T>(value); }, range,
      description, std::nullopt);
}

}  // namespace quelmar::cli_options
