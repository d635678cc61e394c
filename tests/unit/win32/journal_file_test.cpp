// The journal's file on Windows (under Wine): appends and replacements on a
// real file, the journal over it across a restart, and where the file goes
// when the machine-wide folder cannot be used.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "outbox/Journal.h"
#include "win32/JournalFile.h"

namespace varnix {
namespace {

using win32::JournalFile;
using win32::JournalPathUnder;

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A fresh folder of the test's own under the temporary folder.
class TempFolder {
 public:
  TempFolder() {
    wchar_t base[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, base);
    path_ = std::wstring(base) + L"varnix-journal-" + std::to_wstring(::GetCurrentProcessId()) +
            L"-" + std::to_wstring(counter_++);
    ::CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~TempFolder() {
    // Best effort: the test's files and the folders the path choice made.
    for (const wchar_t* sub : {L"\\pd", L"\\la"}) {
      const std::wstring folder = path_ + sub + L"\\Korva\\Varnix";
      WIN32_FIND_DATAW found;
      HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
      if (find != INVALID_HANDLE_VALUE) {
        do {
          ::DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        } while (::FindNextFileW(find, &found));
        ::FindClose(find);
      }
      ::RemoveDirectoryW(folder.c_str());
      ::RemoveDirectoryW((path_ + sub + L"\\Korva").c_str());
      ::RemoveDirectoryW((path_ + sub).c_str());
    }
    for (const wchar_t* name : {L"\\j", L"\\j.tmp", L"\\big", L"\\a-file"}) {
      ::DeleteFileW((path_ + name).c_str());
    }
    ::RemoveDirectoryW((path_ + L"\\folder").c_str());
    ::RemoveDirectoryW(path_.c_str());
  }
  const std::wstring& Path() const { return path_; }

 private:
  static inline int counter_ = 0;
  std::wstring path_;
};

TEST(JournalFile, AppendsAndReplacesOnARealFile) {
  TempFolder dir;
  const std::wstring path = dir.Path() + L"\\j";
  JournalFile file(path);
  EXPECT_EQ(file.ReadAll(), std::string()) << "no journal yet";
  ASSERT_TRUE(file.Append("abc\n"));
  ASSERT_TRUE(file.Append(std::string("d\0e\n", 4)));
  EXPECT_EQ(file.ReadAll(), std::string("abc\nd\0e\n", 8)) << "read while held open";
  ASSERT_TRUE(file.Replace("xyz\n"));
  EXPECT_FALSE(Exists(path + L".tmp"));
  EXPECT_EQ(file.ReadAll(), "xyz\n");
  ASSERT_TRUE(file.Append("1\n")) << "after the rename, at the end of the new file";
  EXPECT_EQ(JournalFile(path).ReadAll(), "xyz\n1\n");
  ASSERT_TRUE(file.Replace(""));
  EXPECT_EQ(file.ReadAll(), std::string());

  // More than one write's piece.
  const std::wstring big = dir.Path() + L"\\big";
  JournalFile large(big);
  std::string bytes(3 * 1024 * 1024 + 17, 'x');
  for (std::size_t i = 0; i < bytes.size(); i += 4099) bytes[i] = static_cast<char>(i);
  ASSERT_TRUE(large.Replace(bytes));
  EXPECT_EQ(large.ReadAll(), bytes);

  // A folder where the file should be: neither read nor written.
  const std::wstring folder = dir.Path() + L"\\folder";
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  JournalFile notAFile(folder);
  EXPECT_EQ(notAFile.ReadAll(), std::nullopt);
  EXPECT_FALSE(notAFile.Append("a"));
  EXPECT_FALSE(notAFile.Replace("a"));
  EXPECT_TRUE(Exists(folder));
}

TEST(JournalFile, TheJournalOverItSurvivesARestart) {
  TempFolder dir;
  const std::wstring path = dir.Path() + L"\\j";
  {
    JournalFile file(path);
    Journal journal(file);
    EXPECT_TRUE(journal.Load().usable);
    ASSERT_TRUE(journal.Accepted(ClientMessage{1, "10086,\xC4\xE3 hi", false, {}}));
    ASSERT_TRUE(journal.Accepted(ClientMessage{2, "10086,", true, u"\u4F60\u597D\n"}));
    ASSERT_TRUE(journal.PartGoingOut(1, 1));
    ASSERT_TRUE(journal.PartSent(1, 1, 17));
    ASSERT_TRUE(journal.Finished(1, MessageState::kSent, "17"));
    ASSERT_TRUE(journal.PartGoingOut(2, 1));
    ASSERT_TRUE(journal.Compact());
    ASSERT_TRUE(journal.Accepted(ClientMessage{3, "10010,x", false, {}}));
  }
  // A power cut in the middle of a later line.
  ASSERT_TRUE(JournalFile(path).Append("A 4 a 1"));
  JournalFile file(path);
  Journal journal(file);
  const Recovery r = journal.Load();
  ASSERT_TRUE(r.usable);
  EXPECT_EQ(r.lastId, 3u);
  EXPECT_EQ(r.bytesCut, 7u);
  ASSERT_EQ(r.messages.size(), 2u);
  EXPECT_EQ(r.messages[0].message.id, 2u);
  EXPECT_TRUE(r.messages[0].message.unicode);
  EXPECT_EQ(r.messages[0].message.text16, u"\u4F60\u597D\n");
  EXPECT_TRUE(r.messages[0].pduMayHaveGoneOut);
  EXPECT_EQ(r.messages[1].message.entry, "10010,x");
  EXPECT_FALSE(r.messages[1].pduMayHaveGoneOut);
  ASSERT_TRUE(journal.Accepted(ClientMessage{4, "1,y", false, {}}));
  JournalFile reread(path);
  Journal again(reread);
  EXPECT_EQ(again.Load().messages.size(), 3u);
}

TEST(JournalFile, PathFallsBackToTheUsersFolder) {
  TempFolder dir;
  const std::wstring pd = dir.Path() + L"\\pd";
  const std::wstring la = dir.Path() + L"\\la";
  ASSERT_TRUE(::CreateDirectoryW(pd.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW(la.c_str(), nullptr));

  const std::wstring machine = pd + L"\\Korva\\Varnix\\Varnix.journal";
  EXPECT_EQ(JournalPathUnder(pd, la, L"Varnix"), machine);
  EXPECT_TRUE(Exists(machine));
  EXPECT_EQ(JournalPathUnder(pd + L"\\", la, L"a/b:c"), pd + L"\\Korva\\Varnix\\a_b_c.journal");

  // Held open by another instance: still the place, not a reason to move.
  {
    JournalFile holder(machine);
    ASSERT_TRUE(holder.Append("x"));
    EXPECT_EQ(JournalPathUnder(pd, la, L"Varnix"), machine);
  }

  // The machine-wide folder cannot be made (a file stands in its way).
  const std::wstring blocked = dir.Path() + L"\\a-file";
  ASSERT_TRUE(JournalFile(blocked).Append("x"));
  EXPECT_EQ(JournalPathUnder(blocked, la, L"Varnix"), la + L"\\Korva\\Varnix\\Varnix.journal");
  EXPECT_EQ(JournalPathUnder(L"", la, L"Varnix"), la + L"\\Korva\\Varnix\\Varnix.journal");
  EXPECT_EQ(JournalPathUnder(blocked, blocked, L"Varnix"), std::wstring());

  // From the environment.
  ASSERT_TRUE(::SetEnvironmentVariableW(L"ProgramData", pd.c_str()));
  EXPECT_EQ(win32::JournalPath(L"Varnix"), machine);
}

}  // namespace
}  // namespace varnix
