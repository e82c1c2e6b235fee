// One-shot DNS look-ups against one explicitly chosen name server (ldns).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quelmar::orchestrate::adapter::dns {

enum class RecordType { kA, kAaaa };

// "ADDR", "ADDR:PORT" (IPv4) or "[V6]:PORT"; a bare IPv6 address has no port.
struct NameServer {
  std::string address;
  std::optional<std::uint16_t> port;
};

// Throws std::invalid_argument whose message names the bad text.
NameServer parse_name_server(std::string_view text);

// A look-up that did not produce an address; what() is a short human-readable
// cause such as "name does not exist: myapp.fly.dev.".
class LookupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How long a silent server is waited for. ldns alone would take about 20 s
// (3 tries of 5 s, 2 s pauses); an operator waiting on a dead tunnel gets
// about 7 s with these defaults.
struct ResolverOptions {
  int tries = 2;  // 1..255
  std::chrono::milliseconds try_timeout{3000};
  std::chrono::seconds pause{1};  // between tries
};

// A fresh resolver that reads no host configuration and knows exactly one
// name server. Building it may throw (bad address or options); querying throws
// LookupError. Recursion is requested, a truncated UDP answer is retried over
// TCP, and a silent server is given up on after `options.tries` tries.
class Resolver {
 public:
  explicit Resolver(const NameServer& name_server, ResolverOptions options = {});
  ~Resolver();
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // Queries `name` as a fully qualified name and returns the address text of
  // the first record of `type` in the answer, in the order received.
  std::string first_address(const std::string& name, RecordType type);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quelmar::orchestrate::adapter::dns
