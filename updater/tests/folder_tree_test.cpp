// DeleteFolderTree on real folders below the temporary folder.

#include <gtest/gtest.h>

#include "folder_tree.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// Names such as "..." can only be made through the literal path form.
void MakeLiteralFolder(const std::wstring& path) {
  CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr);
}

}  // namespace

TEST(DeleteFolderTree, RemovesNestedFoldersAndNothingBesideThem) {
  ScratchFolder scratch;
  const std::wstring tree = scratch / L"交付 Temp";
  MakeFolders(tree + L"\\a\\b\\c");
  WriteBytes(tree + L"\\UpdateInfo.ini", "UpdatedFiles:\n");
  WriteBytes(tree + L"\\a\\b\\c\\深.dll", "deep");
  WriteBytes(tree + L"\\a\\b\\mid.dll", "mid");
  // "..." is a name like any other, not a way up.
  MakeLiteralFolder(tree + L"\\...");
  MakeLiteralFolder(tree + L"\\...\\inner");
  WriteBytes(L"\\\\?\\" + tree + L"\\...\\inner\\f.txt", "dots");
  ASSERT_EQ(ReadBytes(L"\\\\?\\" + tree + L"\\...\\inner\\f.txt"), "dots");
  const std::wstring besideFile = scratch / L"交付 Temp.txt";
  const std::wstring besideFolder = scratch / L"交付 Temp2";
  WriteBytes(besideFile, "beside");
  MakeFolders(besideFolder);

  EXPECT_TRUE(DeleteFolderTree(tree));
  EXPECT_FALSE(FolderExists(tree));
  EXPECT_EQ(ReadBytes(besideFile), "beside");
  EXPECT_TRUE(FolderExists(besideFolder));

  EXPECT_FALSE(DeleteFolderTree(tree)) << "a missing folder cannot be listed";
  EXPECT_FALSE(DeleteFolderTree(besideFile)) << "a file is not a folder";
  EXPECT_EQ(ReadBytes(besideFile), "beside");
  EXPECT_FALSE(DeleteFolderTree(L""));
}

TEST(DeleteFolderTree, ReadOnlyFileStaysWithTheFoldersAboveIt) {
  ScratchFolder scratch;
  const std::wstring tree = scratch / L"tree";
  const std::wstring readOnly = tree + L"\\keep\\deeper\\read-only.dll";
  MakeFolders(tree + L"\\keep\\deeper");
  MakeFolders(tree + L"\\other");
  WriteBytes(readOnly, "stays");
  WriteBytes(tree + L"\\keep\\sibling.dll", "goes");
  WriteBytes(tree + L"\\other\\x.dll", "goes");
  SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);

  EXPECT_TRUE(DeleteFolderTree(tree));
  EXPECT_EQ(ReadBytes(readOnly), "stays");
  EXPECT_FALSE(FileExists(tree + L"\\keep\\sibling.dll"));
  EXPECT_FALSE(FolderExists(tree + L"\\other"));
  SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(DeleteFolderTree, LinkedFolderOutsideTheTreeIsLeftWhole) {
  ScratchFolder scratch;
  const std::wstring canary = scratch / L"canary";
  MakeFolders(canary + L"\\sub");
  WriteBytes(canary + L"\\keep.txt", "canary");
  WriteBytes(canary + L"\\sub\\deep.txt", "canary");
  const std::wstring tree = scratch / L"tree";
  MakeFolders(tree + L"\\plain");
  WriteBytes(tree + L"\\plain\\x.dll", "goes");
  const std::wstring inner = tree + L"\\linked";
  // The delivery folder itself may be the link, too.
  const std::wstring whole = scratch / L"whole-link";
  ASSERT_TRUE(MakeHostSymbolicLink(canary, inner));
  ASSERT_TRUE(MakeHostSymbolicLink(canary, whole));

  EXPECT_TRUE(DeleteFolderTree(tree));
  EXPECT_TRUE(DeleteFolderTree(whole));
  EXPECT_EQ(ReadBytes(canary + L"\\keep.txt"), "canary");
  EXPECT_EQ(ReadBytes(canary + L"\\sub\\deep.txt"), "canary");
  EXPECT_FALSE(FolderExists(tree + L"\\plain"));
  // Wine cannot remove a Unix link through RemoveDirectoryW (Windows removes the link): take
  // away what is left before the scratch folder goes.
  RemoveHostSymbolicLink(inner);
  RemoveHostSymbolicLink(whole);
}
