// The log's folder on Windows (under Wine): appends to real day files, the
// listing and removal that the writer's clean-up uses, a folder that went
// away, one that a file stands in the way of, and where the folder goes when
// the machine-wide place cannot be used.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "win32/LogFiles.h"

namespace varnix {
namespace {

std::string ReadFile(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<none>";
  std::string bytes(4096, '\0');
  DWORD got = 0;
  ::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  ::CloseHandle(file);
  bytes.resize(got);
  return bytes;
}

std::wstring FreshFolder(const wchar_t* tag) {
  wchar_t base[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH, base);
  return std::wstring(base) + L"varnix-log-" + tag + L"-" +
         std::to_wstring(::GetCurrentProcessId());
}

TEST(LogFolderFiles, AppendsListsRemovesAndCopesWithAFolderGone) {
  const std::wstring folder = FreshFolder(L"files");
  win32::LogFolderFiles files(folder);
  // The folder is made by the first append.
  ASSERT_TRUE(files.Append("Varnix-2026-12-08.log", "one\r\n"));
  ASSERT_TRUE(files.Append("Varnix-2026-12-08.log", "two\r\n"));
  ASSERT_TRUE(files.Append("Varnix-2026-12-09.log", "three\r\n"));
  EXPECT_EQ(ReadFile(folder + L"\\Varnix-2026-12-08.log"), "one\r\ntwo\r\n");
  HANDLE other = ::CreateFileW((folder + L"\\notes.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  ::CloseHandle(other);
  std::vector<std::string> names = files.List();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Varnix-2026-12-08.log", "Varnix-2026-12-09.log"}));

  EXPECT_TRUE(files.Remove("Varnix-2026-12-08.log"));
  EXPECT_FALSE(files.Remove("Varnix-2026-12-08.log"));
  for (const wchar_t* name : {L"\\Varnix-2026-12-09.log", L"\\notes.txt"}) {
    ASSERT_TRUE(::DeleteFileW((folder + name).c_str()));
  }
  ASSERT_TRUE(::RemoveDirectoryW(folder.c_str()));
  // A folder deleted meanwhile is made again...
  EXPECT_TRUE(files.Append("Varnix-2026-12-09.log", "four\r\n"));
  EXPECT_EQ(ReadFile(folder + L"\\Varnix-2026-12-09.log"), "four\r\n");
  ASSERT_TRUE(::DeleteFileW((folder + L"\\Varnix-2026-12-09.log").c_str()));
  ASSERT_TRUE(::RemoveDirectoryW(folder.c_str()));
  // ...but a file in its place makes every append fail, and no listing.
  HANDLE blocker = ::CreateFileW(folder.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(blocker, INVALID_HANDLE_VALUE);
  ::CloseHandle(blocker);
  EXPECT_FALSE(files.Append("Varnix-2026-12-09.log", "five\r\n"));
  EXPECT_TRUE(files.List().empty());
  ::DeleteFileW(folder.c_str());

  // No folder at all: nothing is written anywhere, not at the drive's root.
  win32::LogFolderFiles none(L"");
  EXPECT_FALSE(none.Append("Varnix-2026-12-09.log", "six\r\n"));
  EXPECT_EQ(::GetFileAttributesW(L"\\Varnix-2026-12-09.log"), INVALID_FILE_ATTRIBUTES);
}

TEST(LogFolderFiles, TheFolderBesideTheJournalOrTheUsersOwn) {
  const std::wstring base = FreshFolder(L"place");
  ASSERT_TRUE(::CreateDirectoryW(base.c_str(), nullptr));
  const std::wstring pd = base + L"\\pd", la = base + L"\\la";
  // A file where ProgramData's Korva folder would be: the user's own place.
  ASSERT_TRUE(::CreateDirectoryW(pd.c_str(), nullptr));
  HANDLE blocker = ::CreateFileW((pd + L"\\Korva").c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(blocker, INVALID_HANDLE_VALUE);
  ::CloseHandle(blocker);
  ASSERT_TRUE(::CreateDirectoryW(la.c_str(), nullptr));
  EXPECT_EQ(win32::LogFolderUnder(pd, la), la + L"\\Korva\\Varnix\\logs");
  EXPECT_EQ(win32::LogFolderUnder(L"", la + L"\\"), la + L"\\Korva\\Varnix\\logs");
  EXPECT_EQ(win32::LogFolderUnder(pd, L""), L"");
  // The probe leaves nothing behind, and no journal is made.
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileW((la + L"\\Korva\\Varnix\\logs\\*").c_str(), &found);
  int entries = 0;
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (found.cFileName[0] != L'.') ++entries;
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
  }
  EXPECT_EQ(entries, 0);
  EXPECT_EQ(::GetFileAttributesW((la + L"\\Korva\\Varnix\\Varnix.journal").c_str()),
            INVALID_FILE_ATTRIBUTES);

  EXPECT_EQ(win32::LogServiceName(L"Var:nix*2"), "Var_nix_2");
  EXPECT_EQ(win32::LogServiceName(L""), "Varnix");

  ::RemoveDirectoryW((la + L"\\Korva\\Varnix\\logs").c_str());
  ::RemoveDirectoryW((la + L"\\Korva\\Varnix").c_str());
  ::RemoveDirectoryW((la + L"\\Korva").c_str());
  ::RemoveDirectoryW(la.c_str());
  ::DeleteFileW((pd + L"\\Korva").c_str());
  ::RemoveDirectoryW(pd.c_str());
  ::RemoveDirectoryW(base.c_str());
}

}  // namespace
}  // namespace varnix
