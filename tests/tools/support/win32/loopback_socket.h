#pragma once
// TCP on loopback for test servers, Winsock (the POSIX twin has the same names).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace quarlex::testing_support::loopback {

using Socket = SOCKET;
constexpr Socket NoSocket = INVALID_SOCKET;

// A socket listening on 127.0.0.1 at a free port (stored in `port`), or NoSocket.
inline Socket Listen(uint16_t& port) {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return NoSocket;
  const Socket s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof a;
  if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(s, 4) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (s != INVALID_SOCKET) ::closesocket(s);
    return NoSocket;
  }
  port = ntohs(a.sin_port);
  return s;
}
inline Socket Accept(Socket s) {
  return ::accept(s, nullptr, nullptr);
}
inline bool Readable(Socket s, int ms) {
  WSAPOLLFD p{s, POLLRDNORM, 0};
  return ::WSAPoll(&p, 1, ms) > 0;
}
inline long Receive(Socket s, char* buf, size_t n) {
  return ::recv(s, buf, static_cast<int>(n), 0);
}
inline long Send(Socket s, const char* p, size_t n) {
  return ::send(s, p, static_cast<int>(n), 0);
}
inline void Close(Socket s) {
  ::closesocket(s);
}

// Removes an environment variable (a proxy setting that would send loopback requests elsewhere).
inline void Unset(const char* name) {
  ::_putenv_s(name, "");
}

}  // namespace quarlex::testing_support::loopback
