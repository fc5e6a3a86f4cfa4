#include <pthread.h>

#include <cstring>

#include "serial/thread_name.h"

namespace quarlex {

void NameThisThread(const char* name) {
  // The kernel refuses (ERANGE) rather than cuts a name of 16 bytes or more with its end.
  char cut[16] = {};
  std::strncpy(cut, name, sizeof cut - 1);
  pthread_setname_np(pthread_self(), cut);
}

}  // namespace quarlex
