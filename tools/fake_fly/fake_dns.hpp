// A small DNS responder on loopback (UDP and TCP on one port) that stands in
// for the platform's name servers in tests and in the offline fake.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quelmar::fake_fly {

// One resource record. `name` may omit the trailing dot; `type` is "A",
// "AAAA" or "CNAME"; `value` is the address text or the CNAME target.
struct DnsRecord {
  std::string name;
  std::string type;
  std::string value;
};

enum class DnsRcode { kNoError, kNxDomain, kServFail, kRefused };

// What to send back for one question. The records go into the answer section
// verbatim and in order, whatever their type.
struct DnsReply {
  DnsRcode rcode = DnsRcode::kNoError;
  std::vector<DnsRecord> answer;
};

// Dynamic answers: called with the question name (no trailing dot, as sent)
// and the question type text ("A", "AAAA", "TXT", ...). Runs on the
// responder's thread.
using DnsRecordSource = std::function<DnsReply(const std::string& qname, const std::string& qtype)>;

// Failures the responder can be told to produce for every query.
enum class DnsFault {
  kNone,
  kServFail,   // rcode SERVFAIL, no records
  kRefused,    // rcode REFUSED, no records
  kDrop,       // no answer at all (UDP: silence; TCP: connection closed)
  kMalformed,  // bytes that do not parse as a DNS message
  kTruncate,   // UDP: TC bit and no records; TCP: the full answer
  // UDP: before the real answer, two forged ones pointing at 192.0.2.66 / 2001:db8::666: one
  // with another id, one with the query's id but another question. TCP: the real answer.
  kStrayFirst,
  // The answer starts with a record of the asked type for "evil.example" (192.0.2.66 /
  // 2001:db8::666), then the real records.
  kForeignFirst,
  // UDP: as kTruncate. TCP: the full answer, length prefix included, one byte per
  // FakeDnsOptions::dribble_interval.
  kTruncateThenDribble,
  // UDP: as kTruncate. TCP: an answer with another id pointing at 192.0.2.66 / 2001:db8::666.
  kTruncateThenStray,
};

enum class DnsTransport { kUdp, kTcp };

struct FakeDnsOptions {
  std::string address = "127.0.0.1";                 // IPv4 or IPv6 literal
  std::uint16_t port = 0;                            // 0: a free port, the same for UDP and TCP
  std::chrono::milliseconds dribble_interval{1000};  // kTruncateThenDribble's pace
};

// Answers on its own thread from the moment it is constructed until it is
// destroyed. Thread-safe: records, source and fault may change while running.
//
// Lookup order for a question: static records whose name matches (a CNAME
// record is put in the answer and then followed to its target), else the
// record source, else NXDOMAIN. A name that has static records but none of the
// asked type gets an empty NOERROR answer.
class FakeDns {
 public:
  explicit FakeDns(FakeDnsOptions options = {});
  ~FakeDns();
  FakeDns(const FakeDns&) = delete;
  FakeDns& operator=(const FakeDns&) = delete;

  std::uint16_t port() const;
  // "127.0.0.1:PORT" or "[::1]:PORT", the form a resolver is configured with.
  std::string name_server() const;

  void add_record(DnsRecord record);
  void set_record_source(DnsRecordSource source);
  void set_fault(DnsFault fault);

  // Queries received so far per transport, dropped ones included; bytes that
  // do not parse as a DNS message are ignored and not counted.
  std::size_t query_count(DnsTransport transport) const;

  // Stops answering and joins the thread; the destructor calls it too.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The platform's names for a set of apps: AAAA for "APP.flycast" and A for
// "APP.fly.dev", NXDOMAIN for other names. The address of the n-th app listed
// (from 1) is fdaa:0:1::n (hex) and 203.0.113.n (n wraps within 1..254);
// `list_apps` is called for every query.
DnsRecordSource fly_app_records(std::function<std::vector<std::string>()> list_apps);

// The addresses fly_app_records hands out to the app at `index` (from 0).
std::string fly_app_flycast_address(std::size_t index);
std::string fly_app_public_address(std::size_t index);

}  // namespace quelmar::fake_fly
