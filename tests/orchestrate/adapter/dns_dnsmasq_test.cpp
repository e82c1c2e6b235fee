// The resolver against a name server we did not write: dnsmasq on loopback.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fake_dns.hpp"
#include "orchestrate/adapter/dns_resolver.hpp"

extern char** environ;

namespace dns = quelmar::orchestrate::adapter::dns;

namespace {

constexpr const char* kDnsmasq = "/usr/sbin/dnsmasq";

// A port free for both UDP and TCP a moment ago; dnsmasq may still lose a race
// for it, which start() detects and retries.
std::uint16_t free_port() {
  quelmar::fake_fly::FakeDns probe;
  return probe.port();
}

bool accepts_tcp(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
  ::close(fd);
  return ok;
}

class AgainstDnsmasq : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kDnsmasq, X_OK) != 0) GTEST_SKIP() << kDnsmasq << " not installed (dnsmasq-base)";
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) start(free_port());
    ASSERT_GT(pid_, 0) << "dnsmasq did not start";
  }

  void TearDown() override {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }

  void start(std::uint16_t port) {
    std::vector<std::string> args = {kDnsmasq,
                                     "--keep-in-foreground",
                                     "--conf-file=/dev/null",
                                     "--no-resolv",
                                     "--no-hosts",
                                     "--bind-interfaces",
                                     "--listen-address=127.0.0.1",
                                     "--port=" + std::to_string(port),
                                     "--pid-file=",
                                     "--host-record=myapp.fly.dev,203.0.113.7",
                                     "--host-record=myapp.flycast,fdaa:0:1::7",
                                     "--local=/flycast/",
                                     "--local=/dev/"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, kDnsmasq, nullptr, nullptr, argv.data(), environ) != 0) return;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid, nullptr, WNOHANG) == pid) return;  // exited: port taken, say
      if (accepts_tcp(port)) {
        pid_ = pid;
        port_ = port;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }

  std::string lookup(const std::string& name, dns::RecordType type) {
    dns::Resolver resolver(dns::parse_name_server("127.0.0.1:" + std::to_string(port_)));
    return resolver.first_address(name, type);
  }

  std::string lookup_error(const std::string& name, dns::RecordType type) {
    try {
      ADD_FAILURE() << name << " resolved to " << lookup(name, type);
    } catch (const dns::LookupError& e) {
      return e.what();
    }
    return {};
  }

  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

TEST_F(AgainstDnsmasq, ResolvesPublicAndPrivateNames) {
  EXPECT_EQ(lookup("myapp.fly.dev", dns::RecordType::kA), "203.0.113.7");
  EXPECT_EQ(lookup("myapp.flycast", dns::RecordType::kAaaa), "fdaa:0:1::7");
}

TEST_F(AgainstDnsmasq, FailuresAreLookupErrorsWithTheirCause) {
  EXPECT_EQ(lookup_error("other.flycast", dns::RecordType::kAaaa),
            "name does not exist: other.flycast.");
  EXPECT_EQ(lookup_error("myapp.fly.dev", dns::RecordType::kAaaa),
            "no AAAA record for myapp.fly.dev.");
}

}  // namespace
