// One-shot DNS look-ups against one explicitly chosen name server (ldns).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quelmar/util/clock.hpp"

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

// The server stayed silent through every try, or the whole look-up ran out of time.
class LookupTimeout : public LookupError {
 public:
  using LookupError::LookupError;
};

// How long a look-up may take. A silent server gets `tries` tries of
// `try_timeout` with a `pause` between them. `deadline` bounds the whole
// look-up, UDP tries and TCP fallback together, and no read waits past it, so
// a server that answers one byte at a time cannot hold the caller either: with
// the defaults a look-up ends within 7 s whatever the server does.
struct ResolverOptions {
  int tries = 2;                                // 1..255
  std::chrono::milliseconds try_timeout{3000};  // 1 ms..1 h
  std::chrono::seconds pause{1};                // between tries, 0..255 s
  std::chrono::milliseconds deadline{7000};     // 1 ms..1 h
  // What the deadline, the tries and the pauses are measured on; the real clock unless
  // replaced. Waiting on the socket stays a real wait of the time this clock says is left, so
  // a replaced clock must move on by itself while the server is silent.
  util::Clock clock{};
};

// The identity of one query, which a reply must echo to count as its answer.
struct Question {
  std::uint16_t id = 0;
  std::string name;  // fully qualified, with the trailing dot
  RecordType type = RecordType::kA;
};

struct ReplyOutcome {
  enum class Kind {
    kNotOurs,    // not a response to the question: another id or question, or foreign garbage
    kTruncated,  // ours, with TC set: ask again over TCP
    kAddress,    // ours, and `address` is the first address of the asked type
  };
  Kind kind = Kind::kNotOurs;
  std::string address;  // inet_ntop text
};

// Reads one reply message (DNS wire format, no TCP length prefix). Only records
// owned by the question's name or a name its CNAME chain leads to count. A
// reply that is ours but gives no address (an error rcode, no such name, no
// record of the type, a bad record, unparsable bytes carrying the question's
// id) throws LookupError, naming `server` where the server is at fault. Safe on
// any bytes.
ReplyOutcome read_reply(std::span<const std::uint8_t> reply, const Question& question,
                        const std::string& server);

// A fresh resolver that reads no host configuration and knows exactly one
// name server. Building it may throw (bad address or options); querying throws
// LookupError. Recursion is requested, a truncated UDP answer is retried over
// TCP, and replies that do not answer the query are never taken for its answer.
class Resolver {
 public:
  explicit Resolver(const NameServer& name_server, ResolverOptions options = {});
  ~Resolver();
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // Queries `name` as a fully qualified name and returns the address text of
  // the first record of `type` in the answer, in the order received. Throws
  // LookupTimeout when the server stays silent or `options.deadline` passes.
  std::string first_address(const std::string& name, RecordType type);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quelmar::orchestrate::adapter::dns
