#include "count_option.hpp"

#include <utility>

#include "quelmar/util/truncate.hpp"

namespace quelmar::cli_options {

CLI::Option* add_count_option(CLI::App& app, const std::string& name,
                              std::function<void(std::uint64_t)> store, CountRange range,
                              const std::string& description,
                              const std::optional<std::string>& default_text) {
  const std::string range_text = util::to_string(range);
  auto* option = app.add_option(
      name,
      [name, range, range_text, store = std::move(store)](const CLI::results_t& results) {
        // One value: a repeated option is refused by CLI11 before this runs.
        const std::string text = results.empty() ? std::string() : results.front();
        const auto value = util::parse_decimal(text, range);
        if (!value) {
          throw CLI::ValidationError(name + " takes a whole number " + range_text +
                                     " (decimal digits only), not '" + util::truncated(text, 40) +
                                     "'");
        }
        store(*value);
        return true;
      },
      description + " (" + range_text + (default_text ? ", default " + *default_text : "") + ")");
  option->type_name("N");
  // A missing value ("--parallel=" of an empty variable, or the option last) reaches the
  // reader too, so that every refusal names the range.
  option->expected(0, 1);
  return option;
}

}  // namespace quelmar::cli_options
