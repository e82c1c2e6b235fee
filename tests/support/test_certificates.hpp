// Throw-away TLS material for loopback HTTPS tests, made with the openssl command in a
// temporary directory that is removed again.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "support/temp_dir.hpp"
namespace quelmar::testing {

class TestCertificates {
 public:
  TestCertificates() {
    dir_ = make_temp_dir("quelmar-tls");
    make_ca("ca");
    make_ca("other-ca");
    make_server("server", "ca", "subjectAltName=IP:127.0.0.1,DNS:localhost");
    make_server("foreign", "ca", "subjectAltName=DNS:api.other.example");
  }
  ~TestCertificates() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;

  // The CA that signed both server certificates, and one that signed neither.
  std::string ca() const { return file("ca.pem"); }
  std::string other_ca() const { return file("other-ca.pem"); }
  // For 127.0.0.1 and localhost.
  std::string server_cert() const { return file("server.pem"); }
  std::string server_key() const { return file("server.key"); }
  // For another host name only.
  std::string foreign_cert() const { return file("foreign.pem"); }
  std::string foreign_key() const { return file("foreign.key"); }

 private:
  std::string file(const std::string& name) const { return (dir_ / name).string(); }

  void openssl(const std::string& args) const {
    const std::string command = "cd '" + dir_.string() + "' && openssl " + args + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: openssl " + args);
  }

  void make_ca(const std::string& name) const {
    openssl("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -keyout " + name +
            ".key -out " + name + ".pem -subj /CN=quelmar-test-" + name +
            " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign");
  }

  void make_server(const std::string& name, const std::string& ca, const std::string& san) const {
    openssl("req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + name +
            ".key -out " + name + ".csr -subj /CN=quelmar-test-" + name + " -addext '" + san + "'");
    openssl("x509 -req -in " + name + ".csr -CA " + ca + ".pem -CAkey " + ca +
            ".key -CAcreateserial -days 2 -copy_extensions copy -out " + name + ".pem");
  }

  std::filesystem::path dir_;
};

}  // namespace quelmar::testing
