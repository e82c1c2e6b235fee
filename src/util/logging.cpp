#include "quelmar/util/logging.hpp"

#include <map>
#include <mutex>

#include <spdlog/logger.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "quelmar/util/escape.hpp"
#include "quelmar/util/secrets.hpp"

namespace quelmar::util::logging {

namespace {

spdlog::level::level_enum to_spdlog(Level level) {
  switch (level) {
    case Level::kDebug:
      return spdlog::level::debug;
    case Level::kInfo:
      return spdlog::level::info;
    case Level::kWarning:
      return spdlog::level::warn;
    case Level::kError:
      return spdlog::level::err;
    case Level::kOff:
      return spdlog::level::off;
  }
  return spdlog::level::info;
}

Level from_spdlog(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::trace:
    case spdlog::level::debug:
      return Level::kDebug;
    case spdlog::level::info:
      return Level::kInfo;
    case spdlog::level::warn:
      return Level::kWarning;
    case spdlog::level::err:
    case spdlog::level::critical:
      return Level::kError;
    default:
      return Level::kOff;
  }
}

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<Logger>, std::less<>> loggers;
  Level level = Level::kInfo;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

Logger::Logger(std::string name, std::string file)
    : name_(std::move(name)),
      file_(std::move(file)),
      impl_(std::make_shared<spdlog::logger>(name_,
                                             std::make_shared<spdlog::sinks::stderr_sink_mt>())) {
  impl_->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%n] [%l] %v");
}

Logger::~Logger() = default;

void Logger::debug(std::string_view message, const Fields& fields) {
  write(Level::kDebug, message, fields);
}
void Logger::info(std::string_view message, const Fields& fields) {
  write(Level::kInfo, message, fields);
}
void Logger::warning(std::string_view message, const Fields& fields) {
  write(Level::kWarning, message, fields);
}
void Logger::error(std::string_view message, const Fields& fields) {
  write(Level::kError, message, fields);
}

void Logger::set_level(Level level) { impl_->set_level(to_spdlog(level)); }

Level Logger::level() const { return from_spdlog(impl_->level()); }

void Logger::write(Level level, std::string_view message, const Fields& fields) {
  const auto spd_level = to_spdlog(level);
  if (!impl_->should_log(spd_level)) return;
  // Passed as a plain string: messages carry JSON, whose braces are no format.
  const std::string line = format_line(message, fields);
  impl_->log(spd_level, spdlog::string_view_t(line.data(), line.size()));
}

std::string format_line(std::string_view message, const Fields& fields) {
  // Messages and values carry outside text (platform answers, names): escaped,
  // they can neither forge a second line nor drive the terminal. A log line leaves the
  // program, so no secret it holds may show.
  const auto secrets = current_secrets();
  std::string line = escape_for_terminal(secrets->redact(message));
  for (const auto& [key, value] : fields) {
    line += ' ';
    line += key;
    line += '=';
    line += escape_for_terminal(secrets->redact(value));
  }
  return line;
}

std::shared_ptr<Logger> get_logger(const std::string& name, const std::string& file) {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  auto found = reg.loggers.find(name);
  if (found != reg.loggers.end()) return found->second;
  auto logger = std::make_shared<Logger>(name, file);
  logger->set_level(reg.level);
  reg.loggers.emplace(name, logger);
  return logger;
}

void set_level(Level level) {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  reg.level = level;
  for (auto& [name, logger] : reg.loggers) logger->set_level(level);
}

Level current_level() {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  return reg.level;
}

}  // namespace quelmar::util::logging
