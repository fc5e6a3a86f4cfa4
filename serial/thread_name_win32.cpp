#include <windows.h>

#include <string>

#include "serial/thread_name.h"

namespace quarlex {

void NameThisThread(const char* name) {
  // SetThreadDescription exists from Windows 10 1607 on and mingw's headers do not declare it:
  // looked up at run time, so the program still starts where kernel32 lacks it.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto set = reinterpret_cast<SetDescription>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (set == nullptr) return;
  const std::wstring wide(name, name + std::char_traits<char>::length(name));  // the names are ASCII
  set(GetCurrentThread(), wide.c_str());
}

}  // namespace quarlex
