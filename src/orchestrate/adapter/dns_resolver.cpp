#include "dns_resolver.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

// Without stdbool.h first, ldns defines true/false/bool as macros in C++.
#include <stdbool.h>  // NOLINT(modernize-deprecated-headers)

#include <ldns/ldns.h>

#include "quelmar/util/host_port.hpp"
#include "quelmar/util/port.hpp"
#include "util/unique_fd.hpp"

namespace quelmar::orchestrate::adapter::dns {
namespace {

using ResolverPtr = std::unique_ptr<ldns_resolver, decltype(&ldns_resolver_deep_free)>;
using PktPtr = std::unique_ptr<ldns_pkt, decltype(&ldns_pkt_free)>;
using RdfPtr = std::unique_ptr<ldns_rdf, decltype(&ldns_rdf_deep_free)>;

constexpr std::size_t kMaxUdpReply = 65535;

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

// Maps an ldns transport/parse status to a cause an operator can act on.
std::string send_cause(ldns_status status, const std::string& server) {
  switch (status) {
    case LDNS_STATUS_NETWORK_ERR:
    case LDNS_STATUS_RES_NO_NS:
      return "no answer from " + server;
    case LDNS_STATUS_SOCKET_ERROR:
    case LDNS_STATUS_ADDRESS_ERR:
      return "cannot reach " + server + " (" + ldns_get_errorstr_by_id(status) + ")";
    default:
      return "malformed answer from " + server + " (" + ldns_get_errorstr_by_id(status) + ")";
  }
}

// The answer must be a response to the question we asked; anything else is
// treated as garbage rather than trusted.
bool answers_question(const ldns_pkt* query, const ldns_pkt* answer) {
  if (!ldns_pkt_qr(answer) || ldns_pkt_id(answer) != ldns_pkt_id(query)) return false;
  const ldns_rr_list* asked = ldns_pkt_question(query);
  const ldns_rr_list* echoed = ldns_pkt_question(answer);
  // Some servers omit the question in error responses.
  if (echoed == nullptr || ldns_rr_list_rr_count(echoed) == 0) return true;
  if (ldns_rr_list_rr_count(echoed) != 1) return false;
  const ldns_rr* a = ldns_rr_list_rr(asked, 0);
  const ldns_rr* e = ldns_rr_list_rr(echoed, 0);
  return ldns_rr_get_type(a) == ldns_rr_get_type(e) &&
         ldns_rr_get_class(a) == ldns_rr_get_class(e) &&
         ldns_dname_compare(ldns_rr_owner(a), ldns_rr_owner(e)) == 0;
}

// The queried name and every CNAME target reachable from it through the answer's records.
std::vector<const ldns_rdf*> owner_chain(const ldns_rdf* qname, const ldns_rr_list* records) {
  std::vector<const ldns_rdf*> chain{qname};
  const std::size_t count = records ? ldns_rr_list_rr_count(records) : 0;
  auto on_chain = [&chain](const ldns_rdf* name) {
    for (const ldns_rdf* known : chain) {
      if (ldns_dname_compare(known, name) == 0) return true;
    }
    return false;
  };
  // Each pass adds at least one target or ends; a chain cannot outgrow the record count.
  for (bool grew = true; grew && chain.size() <= count;) {
    grew = false;
    for (std::size_t i = 0; i < count; ++i) {
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

struct Resolver::Impl {
  ResolverPtr resolver{nullptr, &ldns_resolver_deep_free};
  NameServer name_server;
  ResolverOptions options;
  std::string server;  // "ADDR:PORT", for messages

  util::UniqueFd connected_udp_socket() const;
  PktPtr exchange_udp(const ldns_pkt* query) const;
};

util::UniqueFd Resolver::Impl::connected_udp_socket() const {
  sockaddr_storage storage{};
  socklen_t length = 0;
  const std::uint16_t port = htons(name_server.port.value_or(LDNS_PORT));
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, name_server.address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = port;
    length = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, name_server.address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = port;
    length = sizeof(sockaddr_in6);
  } else {
    throw bad_name_server(name_server.address);
  }
  util::UniqueFd fd(::socket(storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  // Connected: the kernel drops datagrams from any other address or port.
  if (fd.get() < 0 || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    throw LookupError("cannot reach " + server + " (" + std::strerror(errno) + ")");
  }
  return fd;
}

// Sends the query over UDP and waits for the reply to it: a datagram that is not an answer to
// this very question (wrong id, wrong question) is ignored and the wait goes on, so a stray or
// forged reply can neither end the look-up nor stand in for the real one. Null when the server
// stays silent through every try.
PktPtr Resolver::Impl::exchange_udp(const ldns_pkt* query) const {
  std::uint8_t* raw_wire = nullptr;
  std::size_t wire_size = 0;
  if (ldns_pkt2wire(&raw_wire, query, &wire_size) != LDNS_STATUS_OK) {
    throw LookupError("cannot build a query for " + server);
  }
  const std::unique_ptr<std::uint8_t, decltype(&std::free)> wire(raw_wire, &std::free);
  const util::UniqueFd fd = connected_udp_socket();
  std::vector<std::uint8_t> buffer(kMaxUdpReply);
  using Clock = std::chrono::steady_clock;

  for (int attempt = 0; attempt < options.tries; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(options.pause);
    if (::send(fd.get(), wire.get(), wire_size, 0) < 0) {
      throw LookupError("cannot reach " + server + " (" + std::strerror(errno) + ")");
    }
    const auto deadline = Clock::now() + options.try_timeout;
    for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
      pollfd readable{fd.get(), POLLIN, 0};
      const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;
      const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        throw LookupError("no answer from " + server + " (" + std::strerror(errno) + ")");
      }
      const auto size = static_cast<std::size_t>(n);
      ldns_pkt* raw_answer = nullptr;
      if (ldns_wire2pkt(&raw_answer, buffer.data(), size) != LDNS_STATUS_OK) {
        // Garbage that carries our id is the server's own broken answer; other garbage is noise.
        const bool ours = size >= 2 && (buffer[0] << 8 | buffer[1]) == ldns_pkt_id(query);
        if (ours) throw LookupError("malformed answer from " + server + " (unparsable reply)");
        continue;
      }
      PktPtr answer(raw_answer, &ldns_pkt_free);
      if (answers_question(query, answer.get())) return answer;
    }
  }
  return PktPtr(nullptr, &ldns_pkt_free);
}

Resolver::Resolver(const NameServer& name_server, ResolverOptions options)
    : impl_(std::make_unique<Impl>()) {
  if (options.tries < 1 || options.tries > 255 || options.try_timeout.count() < 1 ||
      options.pause.count() < 0 || options.pause.count() > 255) {
    throw std::invalid_argument(
        "DNS resolver options out of range (tries 1..255, time-out > 0, pause 0..255 s)");
  }
  const bool v4 = is_ipv4(name_server.address);
  if (!v4 && !is_ipv6(name_server.address)) throw bad_name_server(name_server.address);
  if (name_server.port && *name_server.port == 0) throw bad_name_server(display(name_server));

  impl_->resolver.reset(ldns_resolver_new());
  if (!impl_->resolver) throw std::runtime_error("cannot create a DNS resolver");
  ldns_resolver* r = impl_->resolver.get();

  RdfPtr address(
      ldns_rdf_new_frm_str(v4 ? LDNS_RDF_TYPE_A : LDNS_RDF_TYPE_AAAA, name_server.address.c_str()),
      &ldns_rdf_deep_free);
  if (!address) throw bad_name_server(name_server.address);
  // push_nameserver copies the rdf.
  if (ldns_resolver_push_nameserver(r, address.get()) != LDNS_STATUS_OK) {
    throw std::runtime_error("cannot set DNS name server " + name_server.address);
  }
  if (name_server.port) ldns_resolver_set_port(r, *name_server.port);
  // UDP goes through exchange_udp(); ldns only carries the TCP retry of a truncated answer.
  ldns_resolver_set_usevc(r, true);
  ldns_resolver_set_recursive(r, true);
  ldns_resolver_set_fallback(r, true);
  ldns_resolver_set_retry(r, static_cast<std::uint8_t>(options.tries));
  ldns_resolver_set_retrans(r, static_cast<std::uint8_t>(options.pause.count()));
  const auto timeout = options.try_timeout.count();
  ldns_resolver_set_timeout(r, timeval{static_cast<time_t>(timeout / 1000),
                                       static_cast<suseconds_t>(timeout % 1000 * 1000)});
  impl_->server = display(name_server);
  impl_->name_server = name_server;
  impl_->options = options;
}

Resolver::~Resolver() = default;

std::string Resolver::first_address(const std::string& name, RecordType type) {
  const std::string fqdn = !name.empty() && name.back() == '.' ? name : name + ".";
  const ldns_rr_type rr_type = type == RecordType::kA ? LDNS_RR_TYPE_A : LDNS_RR_TYPE_AAAA;
  const std::string& server = impl_->server;

  if (name.empty() || name == ".") throw LookupError("invalid DNS name: '" + name + "'");
  RdfPtr qname(ldns_dname_new_frm_str(fqdn.c_str()), &ldns_rdf_deep_free);
  if (!qname) throw LookupError("invalid DNS name: '" + name + "'");

  ldns_pkt* raw_query = nullptr;
  ldns_status status = ldns_resolver_prepare_query_pkt(
      &raw_query, impl_->resolver.get(), qname.get(), rr_type, LDNS_RR_CLASS_IN, LDNS_RD);
  PktPtr query(raw_query, &ldns_pkt_free);
  if (status != LDNS_STATUS_OK || !query) {
    throw LookupError("cannot build a query for " + fqdn + " (" + ldns_get_errorstr_by_id(status) +
                      ")");
  }

  PktPtr answer = impl_->exchange_udp(query.get());
  if (!answer) throw LookupError("no answer from " + server);
  if (ldns_pkt_tc(answer.get())) {
    ldns_pkt* raw_answer = nullptr;
    status = ldns_resolver_send_pkt(&raw_answer, impl_->resolver.get(), query.get());
    answer.reset(raw_answer);
    if (status != LDNS_STATUS_OK || !answer) throw LookupError(send_cause(status, server));
    if (!answers_question(query.get(), answer.get())) {
      throw LookupError("malformed answer from " + server + " (not a response to the query)");
    }
    if (ldns_pkt_tc(answer.get())) throw LookupError("truncated answer from " + server);
  }

  const ldns_pkt_rcode rcode = ldns_pkt_get_rcode(answer.get());
  if (rcode == LDNS_RCODE_NXDOMAIN) throw LookupError("name does not exist: " + fqdn);
  if (rcode != LDNS_RCODE_NOERROR) throw LookupError(rcode_cause(rcode) + " from " + server);

  const ldns_rr_list* records = ldns_pkt_answer(answer.get());
  const std::size_t count = records ? ldns_rr_list_rr_count(records) : 0;
  // Only records about the name asked for count; others may be injected.
  const auto chain = owner_chain(qname.get(), records);
  for (std::size_t i = 0; i < count; ++i) {
    const ldns_rr* rr = ldns_rr_list_rr(records, i);
    if (ldns_rr_get_type(rr) != rr_type || ldns_rr_get_class(rr) != LDNS_RR_CLASS_IN) continue;
    if (!owned_by_chain(rr, chain)) continue;
    std::string text = address_text(ldns_rr_rdf(rr, 0), type);
    if (text.empty()) {
      throw LookupError("malformed answer from " + server + " (bad " + type_name(type) +
                        " record)");
    }
    return text;
  }
  throw LookupError(std::string("no ") + type_name(type) + " record for " + fqdn);
}

}  // namespace quelmar::orchestrate::adapter::dns
