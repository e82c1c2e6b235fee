// Log helpers for tests: capturing a logger's lines, and changing the global
// level for a scope only.
#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/logger.h>
#include <spdlog/sinks/ostream_sink.h>

#include "quelmar/util/logging.hpp"

namespace quelmar::util::logging {

// While alive, collects the bare lines (no time, name or level) that the
// logger writes, at every level down to debug, instead of its usual output.
class CapturedLines {
 public:
  explicit CapturedLines(Logger& logger) : logger_(logger), saved_level_(logger.level()) {
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_);
    sink->set_pattern("%v");
    saved_sinks_.swap(logger_.backend().sinks());
    logger_.backend().sinks().push_back(std::move(sink));
    logger_.set_level(Level::kDebug);
  }
  ~CapturedLines() {
    logger_.backend().sinks().swap(saved_sinks_);
    logger_.set_level(saved_level_);
  }
  CapturedLines(const CapturedLines&) = delete;
  CapturedLines& operator=(const CapturedLines&) = delete;

  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    std::istringstream in(stream_.str());
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
  }

 private:
  Logger& logger_;
  Level saved_level_;
  std::vector<spdlog::sink_ptr> saved_sinks_;
  std::ostringstream stream_;
};

// Sets the level of every logger until the end of the scope, then restores
// the one before, however the scope ends.
class ScopedLogLevel {
 public:
  explicit ScopedLogLevel(Level level) : saved_(current_level()) { set_level(level); }
  ~ScopedLogLevel() { set_level(saved_); }
  ScopedLogLevel(const ScopedLogLevel&) = delete;
  ScopedLogLevel& operator=(const ScopedLogLevel&) = delete;

 private:
  Level saved_;
};

}  // namespace quelmar::util::logging
