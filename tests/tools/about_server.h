#pragma once
// A one-connection HTTP test server on loopback: it records the request bytes exactly as they
// arrive and answers with a canned reply (or not at all). Waits poll the socket in short slices
// so that the destructor's stop request is seen; they never sleep blindly.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "loopback_socket.h"

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
    listen_ = loopback::Listen(port_);
    if (listen_ == loopback::NoSocket) throw std::runtime_error("test server: cannot listen");
    thread_ = std::thread([this] { Run(); });
  }
  ~PromoServer() {
    stop_ = true;
    thread_.join();
    loopback::Close(listen_);
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
    uint16_t port = 0;
    const loopback::Socket s = loopback::Listen(port);
    if (s != loopback::NoSocket) loopback::Close(s);
    return port;
  }

 private:
  // Waits until `s` is readable or the server is stopped; false when stopped or after 30 s.
  bool WaitReadable(loopback::Socket s) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!stop_ && std::chrono::steady_clock::now() < until) {
      if (loopback::Readable(s, 20)) return !stop_;
    }
    return false;
  }

  void Run() {
    while (WaitReadable(listen_)) {
      const loopback::Socket c = loopback::Accept(listen_);
      if (c == loopback::NoSocket) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++connections_;
      }
      Serve(c);
      loopback::Close(c);
    }
  }

  void Serve(loopback::Socket c) {
    std::string got;
    char buf[4096];
    while (got.find("\r\n\r\n") == std::string::npos && WaitReadable(c)) {
      const long n = loopback::Receive(c, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
      std::lock_guard<std::mutex> lock(mutex_);
      request_ = got;
    }
    if (mode_ == Mode::Silent) {
      // Say nothing until the client gives up and closes.
      while (WaitReadable(c) && loopback::Receive(c, buf, sizeof buf) > 0) {
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
      while (WaitReadable(c) && loopback::Receive(c, buf, sizeof buf) > 0) {
      }
    }
  }

  static bool SendAll(loopback::Socket c, const char* p, size_t n) {
    while (n > 0) {
      const long w = loopback::Send(c, p, n);
      if (w <= 0) return false;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }

  std::string reply_;
  Mode mode_;
  uint64_t extra_;
  loopback::Socket listen_ = loopback::NoSocket;
  std::atomic<bool> stop_{false};
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
