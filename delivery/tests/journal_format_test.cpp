// The journal's and the leftovers' readers: one row per rule, and every journal that reads is
// written again to the same text.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "journal_format.h"

namespace {

TEST(JournalPath, OnlyPlainPathsBelowTheRootAreTaken) {
  const struct {
    const char* path;
    bool plain;
  } rows[] = {
      {"bin\\32bit\\Kivo\xE7\x9B\xB4\xE6\x92\xAD.exe", true},  // UTF-8 name
      {"a b\\c.dll.vintrel-old-5f3a2b1c-7", true},
      {"...\\x", true},          // "..." is a name, not a level up
      {"", false},
      {"\\root.txt", false},     // a leading separator
      {"a\\", false},            // an empty last level
      {"a\\\\b", false},
      {".", false},
      {"a\\.\\b", false},
      {"..\\victim.txt", false},
      {"x\\..\\..\\victim.txt", false},
      {"x/../../../victim.txt", false},  // "/" that the platform would take as a separator
      {"a/b", false},
      {"C:\\Windows\\x.dll", false},
      {"file.txt:stream", false},
      {"tab\there", false},
      {"line\nend", false},
      {"\xC0\xAF..\\x", false},  // an overlong "/"
      {"\xED\xA0\x80.txt", false},  // an encoded surrogate
      {"\xE7\x9B", false},          // a cut character
  };
  for (const auto& row : rows) {
    EXPECT_EQ(IsPlainJournalPath(row.path), row.plain) << row.path;
  }
}

TEST(Journal, ReadsWhatItWritesAndRefusesEveryBrokenRule) {
  Journal journal;
  journal.state = JournalState::kSwapping;
  journal.release = 1796534400;
  journal.steps = {
      {JournalStep::Kind::kDelete, "sub", true, "", "sub.vintrel-old-1a-0"},
      {JournalStep::Kind::kUpdate, "sub\\x.dll", false, "x.dll.vintrel-new-1a-1",
       "sub\\x.dll.vintrel-old-1a-1"},
  };
  journal.madeFolders = {{1, "sub"}};
  const std::string text = FormatJournal(journal);
  Journal read;
  ASSERT_TRUE(ParseJournal(text, read));
  EXPECT_EQ(FormatJournal(read), text);
  EXPECT_EQ(read.madeFolders[0].step, 1u);

  const std::string head = "vintrel-journal 2\nstate swapping\nrelease 7\n";
  const struct {
    const char* what;
    std::string text;
    bool reads;
  } rows[] = {
      {"no steps", head, true},
      {"rolled back", "vintrel-journal 2\nstate rolled-back\nrelease 7\n", true},
      {"another format", "vintrel-journal 3\nstate swapping\nrelease 7\n", false},
      {"no release", "vintrel-journal 2\nstate swapping\n", false},
      {"a release with a leading zero", "vintrel-journal 2\nstate swapping\nrelease 07\n", false},
      {"a release past 63 bits",
       "vintrel-journal 2\nstate swapping\nrelease 9223372036854775808\n", false},
      {"an unknown state", "vintrel-journal 2\nstate done\nrelease 7\n", false},
      {"cut inside a line", head + "delete 1\ta.txt\ta.txt.old", false},
      {"a staged path leaving the root", head + "update 0\tnew.txt\tx/../../victim.txt\tb\n",
       false},
      {"a backup path leaving the root", head + "delete 1\ta.txt\t..\\a.txt\n", false},
      {"a folder leaving the root", head + "delete 1\ta\tb\nfolder 0\t..\\..\\Windows\n", false},
      {"a folder made before no step", head + "delete 1\ta\tb\nfolder 1\tsub\n", false},
      {"a delete with a staged copy", head + "delete 1\ta\ts\tb\n", false},
      {"an update without its backup", head + "update 1\ta\ts\n", false},
      {"another existed flag", head + "delete 2\ta\tb\n", false},
      {"an unknown line", head + "rename a b\n", false},
      {"the first format", "vintrel-journal 1\nstate swapping\nfolder sub\n"
                           "delete 1 sub\nupdate 0 sub\\x.dll\tx.dll.vintrel-new-1\n", true},
      {"the first format without rolled back", "vintrel-journal 1\nstate rolled-back\n", false},
  };
  for (const auto& row : rows) {
    Journal parsed;
    EXPECT_EQ(ParseJournal(row.text, parsed), row.reads) << row.what;
  }
  // The first format's backups are named by the step alone, as it named them.
  Journal first;
  ASSERT_TRUE(ParseJournal("vintrel-journal 1\nstate committed\nupdate 1 a.dll\ta.dll.vintrel-new-0\n"
                           "delete 1 b.txt\n",
                           first));
  EXPECT_EQ(first.steps[0].backup, "a.dll.vintrel-old-0");
  EXPECT_EQ(first.steps[1].backup, "b.txt.vintrel-old-1");
}

TEST(Leftovers, ReadsWhatItWritesAndNothingElse) {
  const std::vector<std::string> leftovers = {"vcam.dll.vintrel-old-5f-7", "a\\b.exe.vintrel-old-6-0"};
  std::vector<std::string> read;
  ASSERT_TRUE(ParseLeftovers(FormatLeftovers(leftovers), read));
  EXPECT_EQ(read, leftovers);
  for (const std::string& text :
       {std::string("vintrel-leftovers 2\n"), std::string("vintrel-leftovers 1\n..\\x\n"),
        std::string("vintrel-leftovers 1\nx"), std::string("")}) {
    EXPECT_FALSE(ParseLeftovers(text, read)) << text;
  }
}

}  // namespace
