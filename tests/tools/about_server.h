#pragma once
// A one-connection HTTP test server on loopback: it records the request bytes exactly as they
// arrive and answers with a canned reply (or not at all). Waits use poll with generous limits,
// never sleeps; the destructor wakes and joins the thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace quarlex::testing_support {

class PromoServer {
 public:
  // Answer: reply and close. Silent: never reply. Stall: reply, then keep the connection open
  // without a word until the client gives up.
  enum class Mode { Answer, Silent, Stall };

  // `reply` is sent as-is after the request has been read (status line, headers, body), followed
  // by `extraBodyBytes` bytes of 'x' (for huge answers that must not be built in memory).
  explicit PromoServer(std::string reply, Mode mode = Mode::Answer, uint64_t extraBodyBytes = 0)
      : reply_(std::move(reply)), mode_(mode), extra_(extraBodyBytes) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_, 4) != 0 || ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("test server: cannot listen");
    port_ = ntohs(a.sin_port);
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
  }
  ~PromoServer() {
    uint64_t one = 1;
    (void)!::write(stop_, &one, sizeof one);
    thread_.join();
    ::close(listen_);
    ::close(stop_);
  }

  // "127.0.0.1:<port>" followed by `path`, as a promo address.
  std::string Address(const std::string& path = "") const {
    return "127.0.0.1:" + std::to_string(port_) + path;
  }
  uint16_t Port() const { return port_; }

  // The request bytes seen so far (complete once the client has finished its transfer).
  std::string Request() {
    std::lock_guard<std::mutex> lock(mutex_);
    return request_;
  }
  int Connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
  }

  // A port on loopback where nothing listens.
  static uint16_t ClosedPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
  }

 private:
  // Waits until `fd` is readable or the server is stopped; false when stopped or after 30 s.
  bool WaitReadable(int fd) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_, POLLIN, 0}};
    if (::poll(p, 2, 30000) <= 0) return false;
    return (p[1].revents & POLLIN) == 0;
  }

  void Run() {
    while (WaitReadable(listen_)) {
      const int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++connections_;
      }
      Serve(c);
      ::close(c);
    }
  }

  void Serve(int c) {
    std::string got;
    char buf[4096];
    while (got.find("\r\n\r\n") == std::string::npos && WaitReadable(c)) {
      const ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
      std::lock_guard<std::mutex> lock(mutex_);
      request_ = got;
    }
    if (mode_ == Mode::Silent) {
      // Say nothing until the client gives up and closes.
      while (WaitReadable(c) && ::recv(c, buf, sizeof buf, 0) > 0) {
      }
      return;
    }
    if (!SendAll(c, reply_.data(), reply_.size())) return;
    std::string block(64 * 1024, 'x');
    for (uint64_t left = extra_; left > 0;) {
      const size_t n = left < block.size() ? static_cast<size_t>(left) : block.size();
      if (!SendAll(c, block.data(), n)) return;  // the client stopped reading
      left -= n;
    }
    if (mode_ == Mode::Stall) {
      while (WaitReadable(c) && ::recv(c, buf, sizeof buf, 0) > 0) {
      }
    }
  }

  static bool SendAll(int c, const char* p, size_t n) {
    while (n > 0) {
      const ssize_t w = ::send(c, p, n, MSG_NOSIGNAL);
      if (w <= 0) return false;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }

  std::string reply_;
  Mode mode_;
  uint64_t extra_;
  int listen_ = -1;
  int stop_ = -1;
  uint16_t port_ = 0;
  std::mutex mutex_;
  std::string request_;
  int connections_ = 0;
  std::thread thread_;
};

// An HTTP/1.0 answer with the given body.
inline std::string HttpAnswer(const std::string& body, const std::string& status = "200 OK") {
  return "HTTP/1.0 " + status + "\r\nContent-Type: text/html\r\n\r\n" + body;
}

}  // namespace quarlex::testing_support
