// The watcher's Windows side: RegNotifyChangeKeyValue on the serial-port map's key and a stop
// event, in one WaitForMultipleObjects.
#include "ports/port_watch.h"
#include "text/win32_text.h"

namespace quarlex {

namespace {

// Names, values, attributes and security of the key and its subkeys.
constexpr DWORD ChangeFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                               REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;

class RegistryWatchSource : public PortWatchSource {
 public:
  explicit RegistryWatchSource(const PortWatchPaths& paths)
      : root_(paths.RegistryUserRoot ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE),
        path_(win32::Wide(paths.RegistryKey)) {
    while (!path_.empty() && path_.back() == L'\\') path_.pop_back();
  }
  ~RegistryWatchSource() override;
  bool Open(std::string& error);

  Wake Wait(std::optional<std::chrono::milliseconds> timeout) override;
  void Rewatch() override {}
  void RequestStop() override { SetEvent(stop_); }
  PortEventSource Source() const override { return PortEventSource::Registry; }

 private:
  LONG OpenNearest();
  bool Subscribe();

  HKEY root_;
  std::wstring path_;
  HKEY key_ = nullptr;
  HANDLE changed_ = nullptr;
  HANDLE stop_ = nullptr;
  bool subscribed_ = false;
};

RegistryWatchSource::~RegistryWatchSource() {
  if (key_) RegCloseKey(key_);
  for (HANDLE h : {changed_, stop_}) {
    if (h) CloseHandle(h);
  }
}

// Opens the key, or while it does not exist the nearest parent that does: the key appears with
// the first port on some systems, and watching its parent (subkeys included) sees it come.
LONG RegistryWatchSource::OpenNearest() {
  if (key_) RegCloseKey(key_);
  key_ = nullptr;
  std::wstring path = path_;
  for (;;) {
    const LONG rc = RegOpenKeyExW(root_, path.c_str(), 0, KEY_NOTIFY | KEY_READ, &key_);
    if (rc != ERROR_FILE_NOT_FOUND || path.empty()) return rc;
    const size_t slash = path.find_last_of(L'\\');
    path.resize(slash == std::wstring::npos ? 0 : slash);
  }
}

bool RegistryWatchSource::Open(std::string& error) {
  changed_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!changed_ || !stop_) {
    error = "cannot create an event: " + win32::ErrorText(GetLastError());
    return false;
  }
  if (const LONG rc = OpenNearest(); rc != ERROR_SUCCESS) {
    error = "cannot open the registry key " + win32::Narrow(path_) + ": " +
            win32::ErrorText(static_cast<DWORD>(rc));
    return false;
  }
  return true;
}

// A subscription fires once, and it ends with the thread that made it: so it is made, and
// renewed, on the watcher's thread. Renewing reopens the key, which may have appeared or been
// deleted meanwhile.
bool RegistryWatchSource::Subscribe() {
  if (OpenNearest() != ERROR_SUCCESS) return false;
  return RegNotifyChangeKeyValue(key_, TRUE, ChangeFilter, changed_, TRUE) == ERROR_SUCCESS;
}

PortWatchSource::Wake RegistryWatchSource::Wait(std::optional<std::chrono::milliseconds> timeout) {
  if (!subscribed_) {
    if (!Subscribe()) return Wake::Broken;
    subscribed_ = true;
    // The owner scans after starting the watcher, while this thread may not have subscribed
    // yet: one scan more closes that gap.
    return Wake::Change;
  }
  const HANDLE events[2] = {stop_, changed_};
  const DWORD ms = timeout ? static_cast<DWORD>(timeout->count()) : INFINITE;
  switch (WaitForMultipleObjects(2, events, FALSE, ms)) {
    case WAIT_OBJECT_0:
      return Wake::Stop;
    case WAIT_OBJECT_0 + 1:
      // Renewed at once rather than after the owner's scan, so a change made while the scan
      // reads the key is not missed.
      ResetEvent(changed_);
      return Subscribe() ? Wake::Change : Wake::Broken;
    case WAIT_TIMEOUT:
      return Wake::Quiet;
    default:
      return Wake::Broken;
  }
}

}  // namespace

PortWatchPaths PortWatchPaths::System() {
  return {};
}

std::unique_ptr<PortWatchSource> OpenPortWatchSource(const PortWatchPaths& paths, std::string& error) {
  auto source = std::make_unique<RegistryWatchSource>(paths);
  if (!source->Open(error)) return nullptr;
  return source;
}

}  // namespace quarlex
