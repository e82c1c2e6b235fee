// Named loggers for the package's modules, on spdlog. A line is the message
// text followed by its named fields, each as " key=value"; the message and the
// values are rendered with escape_for_terminal, so a line stays one inert line,
// and every registered secret (util/secrets.hpp) in them is redacted.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace spdlog {
class logger;
}

namespace quelmar::util::logging {

enum class Level { kDebug, kInfo, kWarning, kError, kOff };

using Fields = std::vector<std::pair<std::string, std::string>>;

class Logger {
 public:
  Logger(std::string name, std::string file);
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  void debug(std::string_view message, const Fields& fields = {});
  void info(std::string_view message, const Fields& fields = {});
  void warning(std::string_view message, const Fields& fields = {});
  void error(std::string_view message, const Fields& fields = {});

  void set_level(Level level);
  Level level() const;

  const std::string& name() const { return name_; }
  // Source file of the module that owns the logger.
  const std::string& file() const { return file_; }

  // The spdlog logger underneath, for a host program (or a test) that routes
  // lines elsewhere by changing its sinks.
  spdlog::logger& backend() const { return *impl_; }

 private:
  void write(Level level, std::string_view message, const Fields& fields);

  std::string name_;
  std::string file_;
  std::shared_ptr<spdlog::logger> impl_;
};

// One logger per name for the whole process: a second call with the same name
// returns the first logger. New loggers write to standard error at the level
// last given to set_level (info unless changed).
std::shared_ptr<Logger> get_logger(const std::string& name, const std::string& file);

// Sets the level of every logger, present and future. For the host program.
void set_level(Level level);
// The level last given to set_level (info unless changed).
Level current_level();

// Renders a message with its fields, exactly as a line carries it.
std::string format_line(std::string_view message, const Fields& fields);

}  // namespace quelmar::util::logging
