#include "help.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <sstream>
#include <string_view>
#include <vector>

namespace quelmar::cli {

namespace {

struct CommandHelp {
  const char* exit_statuses;  // "" where the command's description names them
  const char* example;
};

// Keyed by the command's path; every command needs its row (the help test checks).
const std::map<std::string, CommandHelp, std::less<>>& command_help() {
  static const std::map<std::string, CommandHelp, std::less<>> help{
      {"quelmar",
       {"that of the command; 2 without a command or on a usage error",
        "quelmar profile-logs missing /srv/profile-logs --last 7"}},
      {"quelmar profile-logs",
       {"that of the command; 2 without a command or on a usage error",
        "quelmar profile-logs compare /srv/a /srv/b --last 30"}},
      {"quelmar profile-logs missing",
       {"", "quelmar profile-logs missing /srv/profile-logs --from 2021-09-01 --to 2021-09-30"}},
      {"quelmar profile-logs compare",
       {"", "quelmar profile-logs compare /srv/a /srv/b --last 30 --json"}},
      {"quelmar fly",
       {"that of the command; 2 without a command or on a usage error",
        "quelmar fly --app my-meters list"}},
      {"quelmar fly list",
       {"0 listed (even none); 1 the platform refused; 2 no answer or a usage error",
        "quelmar fly --app my-meters list --state started --json"}},
      {"quelmar fly create",
       {"0 created; 1 refused at the prompt or by the platform; 2 no answer or a usage error",
        "quelmar fly --app my-meters --image registry.fly.io/mediator:1 create --cmd /mediator "
        "--meter-id m-1 --serial SN1 --ip-address 10.0.0.1 --port 50051"}},
      {"quelmar fly start", {"", "quelmar fly --app my-meters start 3d8d9b1f2e4a77"}},
      {"quelmar fly stop", {"", "quelmar fly --app my-meters stop 3d8d9b1f2e4a77"}},
      {"quelmar fly destroy", {"", "quelmar fly --app my-meters destroy 3d8d9b1f2e4a77"}},
      {"quelmar fly address", {"", "quelmar fly --app my-meters address m-1"}},
      {"quelmar fly plan", {"", "quelmar fly --app my-meters plan --inventory meters.csv"}},
      {"quelmar fly apply",
       {"",
        "quelmar fly --app my-meters --image registry.fly.io/mediator:1 apply --inventory "
        "meters.csv --cmd /mediator"}},
      {"quelmar fly addresses", {"", "quelmar fly --app my-meters addresses --json"}},
      {"quelmar fly show-plan", {"", "quelmar fly show-plan nightly.plan --json"}},
      {"quelmar profile-logs repair",
       {"", "quelmar profile-logs repair /srv/a /srv/b /srv/c --last 30 --dry-run"}},
  };
  return help;
}

// What an option's value is, where the option's name does not say it well.
const std::map<std::string, std::string, std::less<>>& value_names() {
  static const std::map<std::string, std::string, std::less<>> names{
      {"--api-url", "URL"},
      {"--ca-file", "FILE"},
      {"--dns-server", "ADDR[:PORT]"},
      {"--public-resolver", "ADDR[:PORT]"},
      {"--inventory", "FILE"},
      {"--out", "PLANFILE"},
      {"--plan", "PLANFILE"},
      {"--log-level", "LEVEL"},
      {"--token", "TOKEN"},
      {"--app", "APP"},
      {"--max-destroy", "N"},
      {"--parallel", "N"},
      {"--prometheus", "FILE"},
      {"--expect", "FILE"},
  };
  return names;
}

// Labels of the parser's own types: they say nothing to a user.
bool is_parser_label(std::string_view label) {
  static const std::set<std::string_view> labels{"TEXT",   "INT",     "UINT",  "FLOAT",
                                                 "NUMBER", "BOOLEAN", "VALUE", "ENUM"};
  return label.empty() || labels.contains(label);
}

std::string long_name(const CLI::Option* opt) {
  const auto& names = opt->get_lnames();
  return names.empty() ? std::string() : "--" + names.front();
}

// The last part of the type label a check added: "YYYY-MM-DD" of "TEXT:YYYY-MM-DD".
std::string check_label(const CLI::Option* opt) {
  const std::string type = opt->get_type_name();
  const std::string last =
      type.substr(type.rfind(':') == std::string::npos ? 0 : type.rfind(':') + 1);
  if (last.find_first_of("{[ ") != std::string::npos || is_parser_label(last)) return "";
  return last;
}

std::string value_name(const CLI::Option* opt) {
  if (std::string label = check_label(opt); !label.empty()) return label;
  const std::string name = long_name(opt);
  if (const auto known = value_names().find(name); known != value_names().end()) {
    return known->second;
  }
  std::string upper;
  for (char c : name.substr(std::min<std::size_t>(2, name.size()))) {
    upper += c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return upper.empty() ? "VALUE" : upper;
}

std::string joined_names(const std::set<CLI::Option*>& options) {
  std::vector<std::string> names;
  for (const CLI::Option* o : options) names.push_back(o->get_name());
  std::sort(names.begin(), names.end());
  std::string text;
  for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

bool is_help_or_version(const CLI::App* app, const CLI::Option* opt) {
  return opt == app->get_help_ptr() || opt == app->get_help_all_ptr() ||
         opt == app->get_version_ptr();
}

}  // namespace

std::string command_path(const CLI::App& command) {
  std::string path = command.get_name();
  for (const CLI::App* parent = command.get_parent(); parent != nullptr;
       parent = parent->get_parent()) {
    path.insert(0, parent->get_name() + " ");
  }
  return path;
}

std::string summary_of(const std::string& description) {
  std::string line;
  for (char c : description) line += c == '\n' ? ' ' : c;
  const auto end = line.find(". ");
  if (end != std::string::npos) line.resize(end + 1);
  return line;
}

std::string HelpFormatter::make_description(const CLI::App* app) const {
  const std::string& description = app->get_description();
  if (description.empty()) return "";
  // The summary on a line of its own when the text breaks the line there; otherwise the text
  // as written, which starts with it.
  const std::string summary = summary_of(description);
  if (summary.size() + 1 >= description.size()) return summary + "\n";
  const char after = description[summary.size()];
  if (after == '\n') return summary + "\n" + description.substr(summary.size() + 1) + "\n";
  return description + "\n";
}

std::string HelpFormatter::make_subcommand(const CLI::App* sub) const {
  std::stringstream out;
  CLI::detail::format_help(out, sub->get_display_name(true), summary_of(sub->get_description()),
                           get_column_width());
  return out.str();
}

std::string HelpFormatter::make_option_opts(const CLI::Option* opt) const {
  if (opt->get_positional()) {
    return opt->get_expected_max() >= CLI::detail::expected_max_vector_size ? " ..." : "";
  }
  if (!opt->get_option_text().empty()) return " " + opt->get_option_text();
  if (opt->get_expected_max() == 0) return "";  // a flag
  const std::string value = value_name(opt);
  std::string text;
  for (int i = 0; i < std::max(1, opt->get_expected_min()); ++i) text += " " + value;
  if (opt->get_expected_max() >= CLI::detail::expected_max_vector_size) text += " ...";
  return text;
}

std::string HelpFormatter::make_option_desc(const CLI::Option* opt) const {
  std::string text = opt->get_description();
  const std::string type = opt->get_type_name();
  if (const auto open = type.find('{'); open != std::string::npos) {
    std::string choices = type.substr(open + 1, type.find('}', open) - open - 1);
    std::string spaced;
    for (char c : choices) spaced += c == ',' ? std::string(", ") : std::string(1, c);
    text += " (one of: " + spaced + ")";
  } else if (const auto range = type.find(" in ["); range != std::string::npos) {
    std::string bounds = type.substr(range + 5, type.find(']', range) - range - 5);
    const auto dash = bounds.find(" - ");
    if (dash != std::string::npos) bounds.replace(dash, 3, "..");
    if (text.find(bounds) == std::string::npos) text += " (" + bounds + ")";
  }
  if (!opt->get_default_str().empty() && text.find("default") == std::string::npos) {
    text += " (default: " + opt->get_default_str() + ")";
  }
  if (!opt->get_envname().empty()) {
    text += " (default: environment variable " + opt->get_envname() + ")";
  }
  if (opt->get_required() && !opt->get_positional()) text += " (required)";
  if (!opt->get_needs().empty()) text += "; needs " + joined_names(opt->get_needs());
  if (!opt->get_excludes().empty()) text += "; not with " + joined_names(opt->get_excludes());
  return text;
}

// The usage line names the whole command path, whatever name CLI11 passes.
std::string HelpFormatter::make_help(const CLI::App* app, std::string /*name*/,
                                     CLI::AppFormatMode mode) const {
  if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
  std::stringstream out;
  out << make_usage(app, command_path(*app));
  const std::string description = make_description(app);
  if (!description.empty()) out << '\n' << description;
  out << make_positionals(app);
  out << make_groups(app, mode);
  // Options of the commands above may stand after this one: `quelmar fly list --app A`.
  for (const CLI::App* parent = app->get_parent(); parent != nullptr;
       parent = parent->get_parent()) {
    const auto options = parent->get_options([parent](const CLI::Option* opt) {
      return opt->nonpositional() && !is_help_or_version(parent, opt);
    });
    if (!options.empty()) {
      out << make_group("Options of " + command_path(*parent), false, options);
    }
  }
  out << make_subcommands(app, mode);
  out << '\n' << make_footer(app);
  return out.str();
}

void teach_help(CLI::App& app) {
  auto formatter = std::make_shared<HelpFormatter>();
  std::vector<CLI::App*> pending{&app};
  while (!pending.empty()) {
    CLI::App* command = pending.back();
    pending.pop_back();
    command->formatter(formatter);
    const auto help = command_help().find(command_path(*command));
    if (help != command_help().end()) {
      std::string footer;
      const bool described = command->get_description().find("Exit") != std::string::npos;
      if (!described && *help->second.exit_statuses != '\0') {
        footer += std::string("Exit status: ") + help->second.exit_statuses + ".\n";
      }
      footer += std::string("Example:\n  ") + help->second.example;
      command->footer(footer);
    }
    for (CLI::App* sub : command->get_subcommands({})) pending.push_back(sub);
  }
}

}  // namespace quelmar::cli
