// The form of every --help page: what a command does, the options it takes (those of its parent
// commands included) with their defaults and choices but without the parser's type labels,
// its exit statuses and an example.
#pragma once

#include <memory>
#include <string>

#include <CLI/CLI.hpp>

namespace quelmar::cli {

class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override;
  std::string make_description(const CLI::App* app) const override;
  std::string make_subcommand(const CLI::App* sub) const override;
  std::string make_option_opts(const CLI::Option* opt) const override;
  std::string make_option_desc(const CLI::Option* opt) const override;
};

// Gives `app` and all its commands the formatter and each command's footer (its exit statuses,
// unless its description names them, and an example). Call once every command is added.
void teach_help(CLI::App& app);

// The first sentence of a command's description, on one line.
std::string summary_of(const std::string& description);

// "quelmar fly plan" for the plan command.
std::string command_path(const CLI::App& command);

}  // namespace quelmar::cli
