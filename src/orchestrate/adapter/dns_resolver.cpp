#include "dns_resolver.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// Without stdbool.h first, ldns defines true/false/bool as macros in C++.
#include <stdbool.h>  // NOLINT(modernize-deprecated-headers)

#include <ldns/ldns.h>

#include "quelmar/util/host_port.hpp"
#include "quelmar/util/port.hpp"
#include "quelmar/util/unique_fd.hpp"

namespace quelmar::orchestrate::adapter::dns {
namespace {

using PktPtr = std::unique_ptr<ldns_pkt, decltype(&ldns_pkt_free)>;
using RdfPtr = std::unique_ptr<ldns_rdf, decltype(&ldns_rdf_deep_free)>;

using Bytes = std::vector<std::uint8_t>;
using TimePoint = std::chrono::steady_clock::time_point;

constexpr std::size_t kMaxReply = 65535;
// Bounds every wait option, so that time points and poll() time-outs cannot overflow.
constexpr std::chrono::milliseconds kLongestWait = std::chrono::hours(1);
// How many CNAME hops from the queried name are followed.
constexpr std::size_t kMaxCnameHops = 16;

bool is_ipv4(const std::string& text) {
  in_addr out{};
  return inet_pton(AF_INET, text.c_str(), &out) == 1;
}

bool is_ipv6(const std::string& text) {
  in6_addr out{};
  return inet_pton(AF_INET6, text.c_str(), &out) == 1;
}

std::invalid_argument bad_name_server(std::string_view text) {
  return std::invalid_argument("invalid DNS name server address: '" + std::string(text) + "'");
}

std::uint16_t parse_port(std::string_view digits, std::string_view whole) {
  const auto port = util::parse_port(digits);
  if (!port) throw bad_name_server(whole);
  return static_cast<std::uint16_t>(*port);
}

std::string display(const NameServer& server) {
  return util::host_port(server.address, server.port.value_or(LDNS_PORT));
}

const char* type_name(RecordType type) { return type == RecordType::kA ? "A" : "AAAA"; }

ldns_rr_type rr_type_of(RecordType type) {
  return type == RecordType::kA ? LDNS_RR_TYPE_A : LDNS_RR_TYPE_AAAA;
}

std::string rcode_cause(ldns_pkt_rcode rcode) {
  switch (rcode) {
    case LDNS_RCODE_SERVFAIL:
      return "server failure (SERVFAIL)";
    case LDNS_RCODE_REFUSED:
      return "query refused (REFUSED)";
    case LDNS_RCODE_FORMERR:
      return "query rejected as malformed (FORMERR)";
    case LDNS_RCODE_NOTIMPL:
      return "query type not implemented (NOTIMP)";
    default:
      return "error response (rcode " + std::to_string(static_cast<int>(rcode)) + ")";
  }
}

// "7 s", or "250 ms" when not whole seconds.
std::string duration_text(std::chrono::milliseconds duration) {
  const auto ms = duration.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

RdfPtr dname(const std::string& fqdn) {
  return RdfPtr(ldns_dname_new_frm_str(fqdn.c_str()), &ldns_rdf_deep_free);
}

// The reply must be a response to the question we asked; anything else is
// treated as garbage rather than trusted.
bool answers_question(const ldns_pkt* reply, const Question& question, const ldns_rdf* qname) {
  if (!ldns_pkt_qr(reply) || ldns_pkt_id(reply) != question.id) return false;
  const ldns_rr_list* echoed = ldns_pkt_question(reply);
  // Some servers omit the question in error responses.
  if (echoed == nullptr || ldns_rr_list_rr_count(echoed) == 0) return true;
  if (ldns_rr_list_rr_count(echoed) != 1) return false;
  const ldns_rr* e = ldns_rr_list_rr(echoed, 0);
  return ldns_rr_get_type(e) == rr_type_of(question.type) &&
         ldns_rr_get_class(e) == LDNS_RR_CLASS_IN &&
         ldns_dname_compare(ldns_rr_owner(e), qname) == 0;
}

// The queried name and every CNAME target reachable from it through the answer's records, at
// most kMaxCnameHops away: a hostile server could otherwise make the walk quadratic or worse.
std::vector<const ldns_rdf*> owner_chain(const ldns_rdf* qname, const ldns_rr_list* records) {
  std::vector<const ldns_rdf*> chain{qname};
  const std::size_t count = records ? ldns_rr_list_rr_count(records) : 0;
  auto on_chain = [&chain](const ldns_rdf* name) {
    for (const ldns_rdf* known : chain) {
      if (ldns_dname_compare(known, name) == 0) return true;
    }
    return false;
  };
  // Each pass adds at least one target or ends.
  for (bool grew = true; grew && chain.size() <= kMaxCnameHops;) {
    grew = false;
    for (std::size_t i = 0; i < count && chain.size() <= kMaxCnameHops; ++i) {
      const ldns_rr* rr = ldns_rr_list_rr(records, i);
      if (ldns_rr_get_type(rr) != LDNS_RR_TYPE_CNAME || !on_chain(ldns_rr_owner(rr))) continue;
      const ldns_rdf* target = ldns_rr_rdf(rr, 0);
      if (target == nullptr || ldns_rdf_get_type(target) != LDNS_RDF_TYPE_DNAME ||
          on_chain(target)) {
        continue;
      }
      chain.push_back(target);
      grew = true;
    }
  }
  return chain;
}

bool owned_by_chain(const ldns_rr* rr, const std::vector<const ldns_rdf*>& chain) {
  for (const ldns_rdf* name : chain) {
    if (ldns_dname_compare(ldns_rr_owner(rr), name) == 0) return true;
  }
  return false;
}

std::string address_text(const ldns_rdf* rdf, RecordType type) {
  const int family = type == RecordType::kA ? AF_INET : AF_INET6;
  const std::size_t expected = type == RecordType::kA ? 4 : 16;
  if (rdf == nullptr || ldns_rdf_size(rdf) != expected) return {};
  char text[INET6_ADDRSTRLEN] = {};
  if (inet_ntop(family, ldns_rdf_data(rdf), text, sizeof text) == nullptr) return {};
  return text;
}

// Waits until `fd` is ready for `events`, or returns false once the deadline has passed on
// `clock`. Data that arrives only after the deadline is not taken, so no read outlives the
// look-up's bound.
bool wait_until(int fd, short events, const util::Clock& clock, TimePoint deadline,
                const std::string& server) {
  while (true) {
    const auto now = clock.now();
    if (now >= deadline) return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    pollfd ready_fd{fd, events, 0};
    const int ready = ::poll(&ready_fd, 1, static_cast<int>(left.count()));  // at most 1 h
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw LookupError("cannot wait for " + server + " (" + std::strerror(errno) + ")");
    }
    if (ready > 0) return clock.now() < deadline;
  }
}

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

SocketAddress socket_address(const NameServer& name_server) {
  SocketAddress out;
  const std::uint16_t port = htons(name_server.port.value_or(LDNS_PORT));
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out.storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
  if (inet_pton(AF_INET, name_server.address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = port;
    out.length = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, name_server.address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = port;
    out.length = sizeof(sockaddr_in6);
  } else {
    throw bad_name_server(name_server.address);
  }
  return out;
}

}  // namespace

NameServer parse_name_server(std::string_view text) {
  const std::string whole(text);
  if (is_ipv4(whole) || is_ipv6(whole)) return {whole, std::nullopt};
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find("]:");
    if (close == std::string_view::npos) throw bad_name_server(text);
    std::string host(text.substr(1, close - 1));
    if (!is_ipv6(host)) throw bad_name_server(text);
    return {host, parse_port(text.substr(close + 2), text)};
  }
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) throw bad_name_server(text);
  std::string host(text.substr(0, colon));
  if (!is_ipv4(host)) throw bad_name_server(text);
  return {host, parse_port(text.substr(colon + 1), text)};
}

ReplyOutcome read_reply(std::span<const std::uint8_t> reply, const Question& question,
                        const std::string& server) {
  const RdfPtr qname = dname(question.name);
  if (!qname) throw LookupError("invalid DNS name: '" + question.name + "'");
  ldns_pkt* raw = nullptr;
  if (ldns_wire2pkt(&raw, reply.data(), reply.size()) != LDNS_STATUS_OK) {
    // Garbage that carries our id is the server's own broken answer; other garbage is noise.
    const bool ours = reply.size() >= 2 && (reply[0] << 8 | reply[1]) == question.id;
    if (ours) throw LookupError("malformed answer from " + server + " (unparsable reply)");
    return {};
  }
  const PktPtr packet(raw, &ldns_pkt_free);
  if (!answers_question(packet.get(), question, qname.get())) return {};
  if (ldns_pkt_tc(packet.get())) return {.kind = ReplyOutcome::Kind::kTruncated, .address = {}};

  const ldns_pkt_rcode rcode = ldns_pkt_get_rcode(packet.get());
  if (rcode == LDNS_RCODE_NXDOMAIN) throw LookupError("name does not exist: " + question.name);
  if (rcode != LDNS_RCODE_NOERROR) throw LookupError(rcode_cause(rcode) + " from " + server);

  const ldns_rr_list* records = ldns_pkt_answer(packet.get());
  const std::size_t count = records ? ldns_rr_list_rr_count(records) : 0;
  // Only records about the name asked for count; others may be injected.
  const auto chain = owner_chain(qname.get(), records);
  for (std::size_t i = 0; i < count; ++i) {
    const ldns_rr* rr = ldns_rr_list_rr(records, i);
    if (ldns_rr_get_type(rr) != rr_type_of(question.type) ||
        ldns_rr_get_class(rr) != LDNS_RR_CLASS_IN || !owned_by_chain(rr, chain)) {
      continue;
    }
    std::string text = address_text(ldns_rr_rdf(rr, 0), question.type);
    if (text.empty()) {
      throw LookupError("malformed answer from " + server + " (bad " + type_name(question.type) +
                        " record)");
    }
    return {.kind = ReplyOutcome::Kind::kAddress, .address = std::move(text)};
  }
  throw LookupError(std::string("no ") + type_name(question.type) + " record for " + question.name);
}

struct Resolver::Impl {
  SocketAddress address;
  ResolverOptions options;
  std::string server;  // "ADDR:PORT", for messages

  [[noreturn]] void time_out() const {
    throw LookupTimeout("no answer from " + server + " within " + duration_text(options.deadline));
  }
  bool wait_until(int fd, short events, TimePoint deadline) const {
    return dns::wait_until(fd, events, options.clock, deadline, server);
  }
  ReplyOutcome exchange_udp(const Bytes& query, const Question& question, TimePoint deadline) const;
  ReplyOutcome exchange_tcp(const Bytes& query, const Question& question, TimePoint deadline) const;
  void read_exact(int fd, std::uint8_t* data, std::size_t size, TimePoint deadline) const;
};

// Sends the query over UDP and waits for the reply to it: a datagram that is not an answer to
// this very question (wrong id, wrong question) is ignored and the wait goes on, so a stray or
// forged reply can neither end the look-up nor stand in for the real one.
ReplyOutcome Resolver::Impl::exchange_udp(const Bytes& query, const Question& question,
                                          TimePoint deadline) const {
  const util::UniqueFd fd(::socket(address.storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  // Connected: the kernel drops datagrams from any other address or port.
  if (!fd.valid() || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.storage),
                               address.length) != 0) {
    throw LookupError("cannot reach " + server + " (" + std::strerror(errno) + ")");
  }
  Bytes buffer(kMaxReply);
  for (int attempt = 0; attempt < options.tries; ++attempt) {
    if (attempt > 0) {
      options.clock.sleep_until(std::min(options.clock.now() + options.pause, deadline));
    }
    if (options.clock.now() >= deadline) time_out();
    if (::send(fd.get(), query.data(), query.size(), 0) < 0) {
      throw LookupError("cannot reach " + server + " (" + std::strerror(errno) + ")");
    }
    const auto try_end = std::min(options.clock.now() + options.try_timeout, deadline);
    while (wait_until(fd.get(), POLLIN, try_end)) {
      const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        throw LookupError("no answer from " + server + " (" + std::strerror(errno) + ")");
      }
      ReplyOutcome outcome =
          read_reply({buffer.data(), static_cast<std::size_t>(n)}, question, server);
      if (outcome.kind != ReplyOutcome::Kind::kNotOurs) return outcome;
    }
  }
  if (options.clock.now() >= deadline) time_out();
  throw LookupTimeout("no answer from " + server);
}

void Resolver::Impl::read_exact(int fd, std::uint8_t* data, std::size_t size,
                                TimePoint deadline) const {
  for (std::size_t done = 0; done < size;) {
    if (!wait_until(fd, POLLIN, deadline)) time_out();
    const ssize_t n = ::recv(fd, data + done, size - done, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) {
      throw LookupError("no answer from " + server + " over TCP (" + std::strerror(errno) + ")");
    }
    if (n == 0) throw LookupError("no answer from " + server + " over TCP (connection closed)");
    done += static_cast<std::size_t>(n);
  }
}

// One query over its own TCP connection; every step, connecting included, ends by the deadline.
ReplyOutcome Resolver::Impl::exchange_tcp(const Bytes& query, const Question& question,
                                          TimePoint deadline) const {
  const auto tcp_failure = [this](int error) {
    return LookupError("cannot reach " + server + " over TCP (" + std::strerror(error) + ")");
  };
  const util::UniqueFd fd(
      ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) throw tcp_failure(errno);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.storage), address.length) !=
      0) {
    if (errno != EINPROGRESS) throw tcp_failure(errno);
    if (!wait_until(fd.get(), POLLOUT, deadline)) time_out();
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) throw tcp_failure(error);
  }

  Bytes framed = {static_cast<std::uint8_t>(query.size() >> 8),
                  static_cast<std::uint8_t>(query.size() & 0xff)};
  framed.insert(framed.end(), query.begin(), query.end());
  for (std::size_t sent = 0; sent < framed.size();) {
    if (!wait_until(fd.get(), POLLOUT, deadline)) time_out();
    const ssize_t n = ::send(fd.get(), framed.data() + sent, framed.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) throw tcp_failure(errno);
    sent += static_cast<std::size_t>(n);
  }

  std::array<std::uint8_t, 2> prefix{};
  read_exact(fd.get(), prefix.data(), prefix.size(), deadline);
  Bytes reply(static_cast<std::size_t>(prefix[0] << 8 | prefix[1]));
  read_exact(fd.get(), reply.data(), reply.size(), deadline);
  ReplyOutcome outcome = read_reply(reply, question, server);
  // The connection carries this one query: anything else on it means a broken server.
  if (outcome.kind == ReplyOutcome::Kind::kNotOurs) {
    throw LookupError("malformed answer from " + server + " (not a response to the query)");
  }
  if (outcome.kind == ReplyOutcome::Kind::kTruncated) {
    throw LookupError("truncated answer from " + server);
  }
  return outcome;
}

Resolver::Resolver(const NameServer& name_server, ResolverOptions options)
    : impl_(std::make_unique<Impl>()) {
  const auto in_bounds = [](std::chrono::milliseconds wait) {
    return wait.count() >= 1 && wait <= kLongestWait;
  };
  if (options.tries < 1 || options.tries > 255 || !in_bounds(options.try_timeout) ||
      options.pause.count() < 0 || options.pause.count() > 255 || !in_bounds(options.deadline)) {
    throw std::invalid_argument(
        "DNS resolver options out of range (tries 1..255, time-out and deadline 1 ms..1 h, "
        "pause 0..255 s)");
  }
  impl_->address = socket_address(name_server);
  if (name_server.port && *name_server.port == 0) throw bad_name_server(display(name_server));
  impl_->options = std::move(options);
  impl_->options.clock = util::real_clock_unless(impl_->options.clock);
  impl_->server = display(name_server);
}

Resolver::~Resolver() = default;

std::string Resolver::first_address(const std::string& name, RecordType type) {
  const auto deadline = impl_->options.clock.now() + impl_->options.deadline;
  const std::string fqdn = !name.empty() && name.back() == '.' ? name : name + ".";
  RdfPtr qname = name.empty() || name == "." ? RdfPtr(nullptr, &ldns_rdf_deep_free) : dname(fqdn);
  if (!qname) throw LookupError("invalid DNS name: '" + name + "'");

  // The packet owns the name from here on.
  const PktPtr query(
      ldns_pkt_query_new(qname.release(), rr_type_of(type), LDNS_RR_CLASS_IN, LDNS_RD),
      &ldns_pkt_free);
  if (!query) throw LookupError("cannot build a query for " + fqdn);
  const Question question{.id = ldns_get_random(), .name = fqdn, .type = type};
  ldns_pkt_set_id(query.get(), question.id);
  std::uint8_t* raw_wire = nullptr;
  std::size_t wire_size = 0;
  if (ldns_pkt2wire(&raw_wire, query.get(), &wire_size) != LDNS_STATUS_OK) {
    throw LookupError("cannot build a query for " + fqdn);
  }
  const Bytes wire(raw_wire, raw_wire + wire_size);
  std::free(raw_wire);

  ReplyOutcome outcome = impl_->exchange_udp(wire, question, deadline);
  if (outcome.kind == ReplyOutcome::Kind::kTruncated) {
    outcome = impl_->exchange_tcp(wire, question, deadline);
  }
  return outcome.address;
}

}  // namespace quelmar::orchestrate::adapter::dns
