#pragma once
// Names the calling thread by its role, so that `top -H`, /proc/<pid>/task/*/comm, a debugger or
// a benchmark can tell the program's threads apart. Every thread the program starts calls it
// first thing with one of the names below. Linux keeps 15 characters; a longer name is cut.
// Windows gives the name to the system where it can (Windows 10 1607 and later); elsewhere the
// call does nothing. Any thread may call it, for itself only.
namespace quarlex {

namespace thread_role {
inline constexpr const char* kIo = "qx-io";          // a device's line reader and writer
inline constexpr const char* kRead = "qx-read";      // Windows device: the line's reader
inline constexpr const char* kWrite = "qx-write";    // Windows device: the line's writer
inline constexpr const char* kLine = "qx-line";      // Windows device: the line's status events
inline constexpr const char* kEvents = "qx-events";  // a port's event thread
inline constexpr const char* kWatch = "qx-watch";    // the port watcher
inline constexpr const char* kRecord = "qx-record";  // the recording writer
inline constexpr const char* kWorker = "qx-worker";  // a tool's background worker
inline constexpr const char* kFetch = "qx-fetch";    // one About exchange (Windows)
}  // namespace thread_role

void NameThisThread(const char* name);

}  // namespace quarlex
