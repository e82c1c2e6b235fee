#include "fake_dns.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

// Without stdbool.h first, ldns defines true/false/bool as macros in C++.
#include <stdbool.h>  // NOLINT(modernize-deprecated-headers)

#include <ldns/ldns.h>

#include "quelmar/util/host_port.hpp"
#include "quelmar/util/lower.hpp"
#include "quelmar/util/unique_fd.hpp"

namespace quelmar::fake_fly {
namespace {

using PktPtr = std::unique_ptr<ldns_pkt, decltype(&ldns_pkt_free)>;
using Bytes = std::vector<std::uint8_t>;

// A slow or silent TCP client must not hold the responder for long.
constexpr int kTcpReadTimeoutMs = 2000;
constexpr int kCnameDepthLimit = 8;
constexpr int kBindAttempts = 50;
constexpr const char* kForgedName = "evil.example";
constexpr const char* kForgedA = "192.0.2.66";
constexpr const char* kForgedAaaa = "2001:db8::666";

using Fd = quelmar::util::UniqueFd;
using quelmar::util::lower;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("fake DNS: " + what + ": " + std::strerror(errno));
}

std::string without_dot(std::string name) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  return name;
}

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = AF_INET;
};

SocketAddress socket_address(const std::string& address, std::uint16_t port) {
  SocketAddress out;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out.storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    out.length = sizeof(sockaddr_in);
    out.family = AF_INET;
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    out.length = sizeof(sockaddr_in6);
    out.family = AF_INET6;
  } else {
    throw std::invalid_argument("fake DNS: not an IP address: '" + address + "'");
  }
  return out;
}

std::uint16_t bound_port(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) fail("getsockname");
  if (storage.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  }
  return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

ldns_pkt_rcode to_ldns(DnsRcode rcode) {
  switch (rcode) {
    case DnsRcode::kNxDomain:
      return LDNS_RCODE_NXDOMAIN;
    case DnsRcode::kServFail:
      return LDNS_RCODE_SERVFAIL;
    case DnsRcode::kRefused:
      return LDNS_RCODE_REFUSED;
    case DnsRcode::kNoError:
      break;
  }
  return LDNS_RCODE_NOERROR;
}

// A header that claims one answer record and then ends in junk: no parser can
// make a message of it, yet it carries the query's id so it is not ignored.
Bytes malformed_reply(const Bytes& query) {
  Bytes out = {query[0], query[1], 0x81, 0x80, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
  out.insert(out.end(), {0xff, 0xff, 0xff});
  return out;
}

// All records or none: a record that does not parse leaves the answer empty.
bool push_answer(ldns_pkt* reply, const std::vector<DnsRecord>& records) {
  std::vector<ldns_rr*> parsed;
  for (const DnsRecord& record : records) {
    const std::string text =
        without_dot(record.name) + ". 60 IN " + record.type + " " + record.value;
    ldns_rr* rr = nullptr;
    if (ldns_rr_new_frm_str(&rr, text.c_str(), 0, nullptr, nullptr) != LDNS_STATUS_OK) {
      for (ldns_rr* done : parsed) ldns_rr_free(done);
      return false;
    }
    parsed.push_back(rr);
  }
  for (ldns_rr* rr : parsed) ldns_pkt_push_rr(reply, LDNS_SECTION_ANSWER, rr);
  return true;
}

std::optional<Bytes> to_wire(const ldns_pkt* packet) {
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
  if (ldns_pkt2wire(&data, packet, &size) != LDNS_STATUS_OK) return std::nullopt;
  Bytes out(data, data + size);
  std::free(data);
  return out;
}

// A forged record of the asked type (A or AAAA) for `name`; none for other types.
std::vector<DnsRecord> forged_records(const std::string& name, const std::string& qtype) {
  if (qtype == "A") return {{name, "A", kForgedA}};
  if (qtype == "AAAA") return {{name, "AAAA", kForgedAaaa}};
  return {};
}

// Replies that a resolver must not take for the answer to `query`: one with another id, one
// with the query's id but another question.
std::vector<Bytes> stray_replies(const ldns_pkt* query) {
  std::vector<Bytes> out;
  const ldns_rr_list* questions = ldns_pkt_question(query);
  if (questions == nullptr || ldns_rr_list_rr_count(questions) != 1) return out;
  const ldns_rr* question = ldns_rr_list_rr(questions, 0);
  char* type = ldns_rr_type2str(ldns_rr_get_type(question));
  const std::string qtype = type ? type : "";
  std::free(type);
  char* owner = ldns_rdf2str(ldns_rr_owner(question));
  const std::string qname = without_dot(owner ? owner : "");
  std::free(owner);

  for (const bool wrong_id : {true, false}) {
    PktPtr reply(ldns_pkt_new(), &ldns_pkt_free);
    if (!reply) continue;
    const std::uint16_t id = ldns_pkt_id(query);
    ldns_pkt_set_id(reply.get(), wrong_id ? static_cast<std::uint16_t>(id ^ 0x5a5a) : id);
    ldns_pkt_set_qr(reply.get(), true);
    ldns_pkt_set_rd(reply.get(), ldns_pkt_rd(query));
    ldns_pkt_set_ra(reply.get(), true);
    const std::string name = wrong_id ? qname : kForgedName;
    ldns_rr* asked = nullptr;
    std::string question_text = name;
    question_text += ". IN ";
    question_text += qtype;
    if (ldns_rr_new_question_frm_str(&asked, question_text.c_str(), nullptr, nullptr) !=
        LDNS_STATUS_OK) {
      continue;
    }
    ldns_pkt_push_rr(reply.get(), LDNS_SECTION_QUESTION, asked);
    if (!push_answer(reply.get(), forged_records(name, qtype))) continue;
    if (auto wire = to_wire(reply.get())) out.push_back(std::move(*wire));
  }
  return out;
}

bool wait_readable(int fd, int wake_fd, int timeout_ms) {
  std::array<pollfd, 2> fds = {pollfd{fd, POLLIN, 0}, pollfd{wake_fd, POLLIN, 0}};
  const int ready = ::poll(fds.data(), fds.size(), timeout_ms);
  return ready > 0 && (fds[0].revents & (POLLIN | POLLHUP)) != 0 && fds[1].revents == 0;
}

bool read_exact(int fd, int wake_fd, std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    if (!wait_readable(fd, wake_fd, kTcpReadTimeoutMs)) return false;
    const ssize_t n = ::recv(fd, data + done, size - done, 0);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void write_all(int fd, const Bytes& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// One byte, then a pause, and so on; ends early when the client goes away or the responder
// is stopped.
void write_dribbled(int fd, int wake_fd, const Bytes& data, std::chrono::milliseconds interval) {
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i > 0) {
      pollfd wake{wake_fd, POLLIN, 0};
      if (::poll(&wake, 1, static_cast<int>(interval.count())) != 0) return;
    }
    if (::send(fd, &data[i], 1, MSG_NOSIGNAL) != 1) return;
  }
}

bool truncates_udp(DnsFault fault) {
  return fault == DnsFault::kTruncate || fault == DnsFault::kTruncateThenDribble ||
         fault == DnsFault::kTruncateThenStray;
}

}  // namespace

struct FakeDns::Impl {
  FakeDnsOptions options;
  std::uint16_t port = 0;
  Fd udp;
  Fd tcp;
  Fd wake;
  std::thread thread;

  mutable std::mutex mutex;
  std::vector<DnsRecord> records;
  DnsRecordSource source;
  DnsFault fault = DnsFault::kNone;

  std::atomic<std::size_t> udp_queries{0};
  std::atomic<std::size_t> tcp_queries{0};

  void bind_sockets();
  void run();
  void serve_udp();
  void serve_tcp();
  DnsFault current_fault() const;
  std::optional<Bytes> respond(const Bytes& query, DnsTransport transport);
  DnsReply lookup(const std::string& qname, const std::string& qtype) const;
};

void FakeDns::Impl::bind_sockets() {
  for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
    SocketAddress where = socket_address(options.address, options.port);
    Fd u(::socket(where.family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (u.get() < 0) fail("socket");
    if (::bind(u.get(), reinterpret_cast<sockaddr*>(&where.storage), where.length) != 0) {
      fail("bind UDP " + options.address + ":" + std::to_string(options.port));
    }
    const std::uint16_t chosen = bound_port(u.get());

    // TCP must share the UDP port number, which the kernel may have handed
    // to some other TCP socket already: then pick another pair.
    where = socket_address(options.address, chosen);
    Fd t(::socket(where.family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (t.get() < 0) fail("socket");
    const int on = 1;
    ::setsockopt(t.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(t.get(), reinterpret_cast<sockaddr*>(&where.storage), where.length) != 0) {
      if (errno == EADDRINUSE && options.port == 0) continue;
      fail("bind TCP " + options.address + ":" + std::to_string(chosen));
    }
    if (::listen(t.get(), 16) != 0) fail("listen");
    udp = std::move(u);
    tcp = std::move(t);
    port = chosen;
    return;
  }
  throw std::runtime_error("fake DNS: no port free for both UDP and TCP");
}

void FakeDns::Impl::run() {
  while (true) {
    std::array<pollfd, 3> fds = {pollfd{udp.get(), POLLIN, 0}, pollfd{tcp.get(), POLLIN, 0},
                                 pollfd{wake.get(), POLLIN, 0}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[2].revents != 0) return;
    if ((fds[0].revents & POLLIN) != 0) serve_udp();
    if ((fds[1].revents & POLLIN) != 0) serve_tcp();
  }
}

void FakeDns::Impl::serve_udp() {
  Bytes buffer(65535);
  sockaddr_storage peer{};
  socklen_t peer_length = sizeof peer;
  const ssize_t n = ::recvfrom(udp.get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&peer), &peer_length);
  if (n <= 0) return;
  buffer.resize(static_cast<std::size_t>(n));
  if (current_fault() == DnsFault::kStrayFirst) {
    ldns_pkt* raw_query = nullptr;
    if (ldns_wire2pkt(&raw_query, buffer.data(), buffer.size()) == LDNS_STATUS_OK) {
      PktPtr query(raw_query, &ldns_pkt_free);
      for (const Bytes& stray : stray_replies(query.get())) {
        ::sendto(udp.get(), stray.data(), stray.size(), 0, reinterpret_cast<sockaddr*>(&peer),
                 peer_length);
      }
    }
  }
  if (auto reply = respond(buffer, DnsTransport::kUdp)) {
    ::sendto(udp.get(), reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&peer),
             peer_length);
  }
}

// One connection at a time, as many length-prefixed queries as the client sends.
void FakeDns::Impl::serve_tcp() {
  Fd connection(::accept4(tcp.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (connection.get() < 0) return;
  while (true) {
    std::array<std::uint8_t, 2> prefix{};
    if (!read_exact(connection.get(), wake.get(), prefix.data(), prefix.size())) return;
    Bytes query(static_cast<std::size_t>(prefix[0]) << 8 | prefix[1]);
    if (!read_exact(connection.get(), wake.get(), query.data(), query.size())) return;
    auto reply = respond(query, DnsTransport::kTcp);
    if (!reply) return;  // dropping over TCP: the client sees the connection close
    Bytes framed = {static_cast<std::uint8_t>(reply->size() >> 8),
                    static_cast<std::uint8_t>(reply->size() & 0xff)};
    framed.insert(framed.end(), reply->begin(), reply->end());
    if (current_fault() == DnsFault::kTruncateThenDribble) {
      write_dribbled(connection.get(), wake.get(), framed, options.dribble_interval);
      return;
    }
    write_all(connection.get(), framed);
  }
}

DnsFault FakeDns::Impl::current_fault() const {
  std::lock_guard lock(mutex);
  return fault;
}

std::optional<Bytes> FakeDns::Impl::respond(const Bytes& wire, DnsTransport transport) {
  ldns_pkt* raw_query = nullptr;
  if (ldns_wire2pkt(&raw_query, wire.data(), wire.size()) != LDNS_STATUS_OK) return std::nullopt;
  PktPtr query(raw_query, &ldns_pkt_free);
  (transport == DnsTransport::kUdp ? udp_queries : tcp_queries)++;

  const DnsFault current = current_fault();
  if (current == DnsFault::kDrop) return std::nullopt;
  if (current == DnsFault::kMalformed) return malformed_reply(wire);
  if (current == DnsFault::kTruncateThenStray && transport == DnsTransport::kTcp) {
    std::vector<Bytes> strays = stray_replies(query.get());
    if (!strays.empty()) return strays.front();  // the one with another id
  }

  PktPtr reply(ldns_pkt_new(), &ldns_pkt_free);
  if (!reply) return std::nullopt;
  ldns_pkt_set_id(reply.get(), ldns_pkt_id(query.get()));
  ldns_pkt_set_qr(reply.get(), true);
  ldns_pkt_set_aa(reply.get(), true);
  ldns_pkt_set_rd(reply.get(), ldns_pkt_rd(query.get()));
  ldns_pkt_set_ra(reply.get(), true);
  ldns_pkt_set_opcode(reply.get(), ldns_pkt_get_opcode(query.get()));

  const ldns_rr_list* questions = ldns_pkt_question(query.get());
  if (questions == nullptr || ldns_rr_list_rr_count(questions) != 1) {
    ldns_pkt_set_rcode(reply.get(), LDNS_RCODE_FORMERR);
  } else {
    const ldns_rr* question = ldns_rr_list_rr(questions, 0);
    ldns_pkt_push_rr(reply.get(), LDNS_SECTION_QUESTION, ldns_rr_clone(question));

    if (current == DnsFault::kServFail) {
      ldns_pkt_set_rcode(reply.get(), LDNS_RCODE_SERVFAIL);
    } else if (current == DnsFault::kRefused) {
      ldns_pkt_set_rcode(reply.get(), LDNS_RCODE_REFUSED);
    } else if (truncates_udp(current) && transport == DnsTransport::kUdp) {
      ldns_pkt_set_tc(reply.get(), true);
    } else {
      char* owner = ldns_rdf2str(ldns_rr_owner(question));
      const std::string qname = without_dot(owner ? owner : "");
      std::free(owner);
      char* type = ldns_rr_type2str(ldns_rr_get_type(question));
      const std::string qtype = type ? type : "";
      std::free(type);

      DnsReply answer = lookup(qname, qtype);
      if (current == DnsFault::kForeignFirst) {
        auto forged = forged_records(kForgedName, qtype);
        answer.answer.insert(answer.answer.begin(), forged.begin(), forged.end());
      }
      ldns_pkt_set_rcode(reply.get(), static_cast<std::uint8_t>(to_ldns(answer.rcode)));
      if (!push_answer(reply.get(), answer.answer)) {
        // A record the test wrote wrongly: say so on the wire, not by crashing.
        ldns_pkt_set_rcode(reply.get(), LDNS_RCODE_SERVFAIL);
      }
    }
  }

  return to_wire(reply.get());
}

DnsReply FakeDns::Impl::lookup(const std::string& qname, const std::string& qtype) const {
  std::unique_lock lock(mutex);
  DnsReply reply;
  std::string name = lower(qname);
  bool known = false;
  for (int depth = 0; depth < kCnameDepthLimit; ++depth) {
    std::vector<const DnsRecord*> owned;
    for (const DnsRecord& record : records) {
      if (lower(without_dot(record.name)) == name) owned.push_back(&record);
    }
    if (owned.empty()) break;
    known = true;
    auto cname = std::find_if(owned.begin(), owned.end(),
                              [](const DnsRecord* r) { return r->type == "CNAME"; });
    if (cname != owned.end() && qtype != "CNAME") {
      reply.answer.push_back(**cname);
      name = lower(without_dot((*cname)->value));
      continue;
    }
    for (const DnsRecord* record : owned) {
      if (record->type == qtype) reply.answer.push_back(*record);
    }
    break;
  }
  if (known) return reply;
  // The source may take other locks (the fake platform's): call it unlocked.
  DnsRecordSource dynamic = source;
  lock.unlock();
  if (dynamic) return dynamic(qname, qtype);
  return DnsReply{.rcode = DnsRcode::kNxDomain, .answer = {}};
}

FakeDns::FakeDns(FakeDnsOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->bind_sockets();
  impl_->wake = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (impl_->wake.get() < 0) fail("eventfd");
  impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

FakeDns::~FakeDns() { stop(); }

void FakeDns::stop() {
  if (!impl_->thread.joinable()) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(impl_->wake.get(), &one, sizeof one);
  impl_->thread.join();
  impl_->udp.reset();
  impl_->tcp.reset();
}

std::uint16_t FakeDns::port() const { return impl_->port; }

std::string FakeDns::name_server() const {
  return util::host_port(impl_->options.address, impl_->port);
}

void FakeDns::add_record(DnsRecord record) {
  std::lock_guard lock(impl_->mutex);
  impl_->records.push_back(std::move(record));
}

void FakeDns::set_record_source(DnsRecordSource source) {
  std::lock_guard lock(impl_->mutex);
  impl_->source = std::move(source);
}

void FakeDns::set_fault(DnsFault fault) {
  std::lock_guard lock(impl_->mutex);
  impl_->fault = fault;
}

std::size_t FakeDns::query_count(DnsTransport transport) const {
  return transport == DnsTransport::kUdp ? impl_->udp_queries.load() : impl_->tcp_queries.load();
}

std::string fly_app_flycast_address(std::size_t index) {
  char text[32];
  std::snprintf(text, sizeof text, "fdaa:0:1::%zx", (index + 1) & 0xffff);
  return text;
}

std::string fly_app_public_address(std::size_t index) {
  return "203.0.113." + std::to_string(index % 254 + 1);
}

DnsRecordSource fly_app_records(std::function<std::vector<std::string>()> list_apps) {
  return [list_apps = std::move(list_apps)](const std::string& qname, const std::string& qtype) {
    struct Zone {
      std::string_view suffix;
      std::string_view type;
      std::string (*address)(std::size_t);
    };
    static constexpr std::array<Zone, 2> kZones = {
        Zone{".flycast", "AAAA", &fly_app_flycast_address},
        Zone{".fly.dev", "A", &fly_app_public_address}};
    const std::string name = lower(qname);
    for (const Zone& zone : kZones) {
      if (name.size() <= zone.suffix.size() || !name.ends_with(zone.suffix)) continue;
      const std::string app = name.substr(0, name.size() - zone.suffix.size());
      const std::vector<std::string> apps = list_apps();
      const auto found = std::find_if(apps.begin(), apps.end(),
                                      [&](const std::string& a) { return lower(a) == app; });
      if (found == apps.end()) break;
      DnsReply reply;
      if (qtype == zone.type) {
        const auto index = static_cast<std::size_t>(found - apps.begin());
        reply.answer.push_back({qname, std::string(zone.type), zone.address(index)});
      }
      return reply;
    }
    return DnsReply{.rcode = DnsRcode::kNxDomain, .answer = {}};
  };
}

}  // namespace quelmar::fake_fly
