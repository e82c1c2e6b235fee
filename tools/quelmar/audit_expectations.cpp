#include "audit_expectations.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "commands.hpp"
#include "fleet_command.hpp"
#include "quelmar/orchestrate/fleet.hpp"
#include "quelmar/util/escape.hpp"

namespace quelmar::cli {

namespace {

namespace dunmere = profile_logs::dunmere;
namespace fleet = orchestrate::fleet;

// The whole of a small text file the operator names.
std::string read_text_file(const std::string& file) {
  const auto fail = [&file](int error) {
    return CommandError("cannot read " + file + ": " + std::generic_category().message(error));
  };
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw fail(errno);
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      throw fail(error);
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

}  // namespace

Expectations read_expectations(const std::string& expect_file, const std::string& inventory_file,
                               const Io& io) {
  if (!expect_file.empty()) {
    try {
      return {.expected = dunmere::parse_expected_directories(read_text_file(expect_file))};
    } catch (const dunmere::ExpectedDirectoriesError& e) {
      throw CommandError(expect_file + ":" + std::to_string(e.line()) + ": " + e.what());
    }
  }
  if (inventory_file.empty()) return {};
  const auto inventory = load_inventory(inventory_file, io, fleet::InventoryUse::kAudit);
  if (!inventory) return {.usable = false};
  Expectations result{.expected = dunmere::ExpectedDirectories()};
  for (const fleet::Meter& meter : inventory->meters) {
    if (meter.directory.empty()) continue;  // a meter that is not audited
    result.expected->add(meter.directory, {meter.commissioned, meter.decommissioned});
  }
  return result;
}

}  // namespace quelmar::cli
