// Capture files on Windows: the executable's folder, failures with the system's reasons, and
// loads that never open a device.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h.
#include <aclapi.h>

#include "text/win32_text.h"
#include "tools/capture_file_system.h"
#include "tools/files_fixture.h"

namespace quarlex {

namespace testing_support {

// As Program Files refuses its users: a deny entry for everyone on adding files and folders.
UnwritableFolder::UnwritableFolder(std::string folder) : folder_(std::move(folder)) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sid;
  if (!CreateWellKnownSid(WinWorldSid, nullptr, sid, &sidSize)) return;
  EXPLICIT_ACCESSW deny{};
  deny.grfAccessPermissions = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
  deny.grfAccessMode = DENY_ACCESS;
  deny.grfInheritance = NO_INHERITANCE;
  deny.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  deny.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  deny.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid);
  PACL acl = nullptr;
  if (SetEntriesInAclW(1, &deny, nullptr, &acl) != ERROR_SUCCESS) return;
  std::wstring path = win32::Wide(folder_);
  SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl,
                        nullptr);
  LocalFree(acl);
  made_ = !capture_fs::CanWriteIn(folder_ + "/");
}

UnwritableFolder::~UnwritableFolder() {
  // No list at all: everyone may do everything, so the scratch tree can be removed.
  std::wstring path = win32::Wide(folder_);
  SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                        nullptr);
}

}  // namespace testing_support

namespace {

using namespace testing_support;

TEST(ExeFolderTest, ExecutableFolderWhenWritableElsePerUserFolder) {
  wchar_t exe[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
  const std::string path = win32::Narrow(exe);
  EXPECT_EQ(DefaultExeFolder(), path.substr(0, path.find_last_of('\\') + 1));
  TempDir d;
  std::string native = d.Path("quarlex.exe");
  for (char& c : native) c = c == '/' ? '\\' : c;
  EXPECT_EQ(ExeFolderFor(native, "C:\\Users\\op"), native.substr(0, native.size() - 11));
  EXPECT_EQ(ExeFolderFor("C:\\no\\such\\folder\\quarlex.exe", "C:\\Users\\op\\"), "C:\\Users\\op\\Quarlex\\");
  EXPECT_TRUE(CaptureFolderFor("C:\\no\\such\\folder\\quarlex.exe", "C:\\Users\\op").Fallback);
  EXPECT_EQ(ListNames(d.Folder()), std::vector<std::string>{});  // the write probe left nothing
}

TEST_F(FilesTest, FailedSaveReportsTheSystemsReasonAndMovesNothing) {
  WriteWhole(dir.Path("plainfile"), {1, 2, 3});
  session.ExeFolder = dir.Path("plainfile/sub/");
  Receive(100);
  EXPECT_FALSE(files.BtnSaveClick());
  EXPECT_TRUE(LastMessage().text.starts_with("File not saved: ")) << LastMessage().text;
  EXPECT_GT(LastMessage().text.size(), std::string("File not saved: ").size());
  EXPECT_EQ(store().SavedUpTo(), 0u);
  EXPECT_EQ(ListNames(dir.Folder()), std::vector<std::string>{"plainfile"});
}

TEST_F(FilesTest, LoadRefusesDevicesFoldersAndMissingFiles) {
  CreateDirectoryW(win32::Wide(dir.Path("folder.data")).c_str(), nullptr);
  for (const std::string& path :
       {std::string("NUL"), std::string("COM1"), dir.Path("COM3.data"), std::string("\\\\.\\COM2"),
        dir.Path("folder.data"), dir.Path("missing.data")}) {
    SCOPED_TRACE(path);
    window.messages.clear();
    session.ClearFull();
    Receive(7);
    EXPECT_EQ(files.LoadFile(path), CaptureFiles::LoadResult::NotFound);
    EXPECT_EQ(store().WriteIndex(), 7u);
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].text, "File not found");
  }
}

}  // namespace
}  // namespace quarlex
