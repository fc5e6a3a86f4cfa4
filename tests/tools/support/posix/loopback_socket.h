#pragma once
// TCP on loopback for test servers, POSIX sockets (the Windows twin has the same names).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace quarlex::testing_support::loopback {

using Socket = int;
constexpr Socket NoSocket = -1;

// A socket listening on 127.0.0.1 at a free port (stored in `port`), or NoSocket.
inline Socket Listen(uint16_t& port) {
  const Socket s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 4) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (s >= 0) ::close(s);
    return NoSocket;
  }
  port = ntohs(a.sin_port);
  return s;
}
inline Socket Accept(Socket s) {
  return ::accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
}
inline bool Readable(Socket s, int ms) {
  pollfd p{s, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}
inline long Receive(Socket s, char* buf, size_t n) {
  return static_cast<long>(::recv(s, buf, n, 0));
}
inline long Send(Socket s, const char* p, size_t n) {
  return static_cast<long>(::send(s, p, n, MSG_NOSIGNAL));
}
inline void Close(Socket s) {
  ::close(s);
}

// Removes an environment variable (a proxy setting that would send loopback requests elsewhere).
inline void Unset(const char* name) {
  ::unsetenv(name);
}

}  // namespace quarlex::testing_support::loopback
