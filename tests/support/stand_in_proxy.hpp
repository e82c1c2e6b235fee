// A listener on loopback that stands in for an HTTP proxy: it accepts connections, keeps the
// first line each one sends, and answers nothing.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace quelmar::testing {

class StandInProxy {
 public:
  StandInProxy() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("stand-in proxy: cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~StandInProxy() {
    stopping_ = true;
    thread_.join();
    ::close(fd_);
  }
  StandInProxy(const StandInProxy&) = delete;
  StandInProxy& operator=(const StandInProxy&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> first_lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  void serve() {
    while (!stopping_) {
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, 20) <= 0) continue;
      const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      std::string line;
      char c = 0;
      pollfd readable{client, POLLIN, 0};
      while (line.size() < 512 && ::poll(&readable, 1, 1000) > 0 && ::read(client, &c, 1) == 1 &&
             c != '\n') {
        line += c;
      }
      {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
      }
      ::close(client);
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::thread thread_;
};

}  // namespace quelmar::testing
