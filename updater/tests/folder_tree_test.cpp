// DeleteFolderTree on real folders below the temporary folder.

#include <gtest/gtest.h>

#include "base/folder_tree.h"
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

namespace {

// What a walk may use of the stack: a recursive walk needs several hundred bytes a level, so
// the tree below would need several times this.
constexpr size_t kStackLeft = 64 * 1024;
constexpr int kLevels = 300;

struct DeepDeletion {
  std::wstring folder;
  bool result = false;
};

// Uses up all but kStackLeft of this thread's stack, then removes the tree. (Wine gives every
// thread at least 1 MB whatever it asks for, so the stack is filled rather than made small.)
DWORD WINAPI DeleteWithLittleStackLeft(void* argument) {
  DeepDeletion* deletion = static_cast<DeepDeletion*>(argument);
  MEMORY_BASIC_INFORMATION stack = {};
  VirtualQuery(&stack, &stack, sizeof(stack));
  const size_t available =
      static_cast<size_t>(reinterpret_cast<char*>(&stack) - static_cast<char*>(stack.AllocationBase));
  volatile char* filler = static_cast<char*>(__builtin_alloca(available - kStackLeft));
  filler[0] = 0;
  deletion->result = DeleteFolderTree(deletion->folder);
  return 0;
}

}  // namespace

TEST(DeleteFolderTree, DeepTreeIsRemovedWithLittleStack) {
  ScratchFolder scratch;
  DeepDeletion deletion{scratch / L"deep"};
  std::wstring deepest = L"\\\\?\\" + deletion.folder;
  ASSERT_TRUE(CreateDirectoryW(deepest.c_str(), nullptr));
  for (int level = 0; level < kLevels; ++level) {
    deepest += L"\\d";
    ASSERT_TRUE(CreateDirectoryW(deepest.c_str(), nullptr)) << level;
  }
  WriteBytes(deepest + L"\\x.dll", "deepest");
  ASSERT_EQ(ReadBytes(deepest + L"\\x.dll"), "deepest");

  HANDLE thread = CreateThread(nullptr, 0, DeleteWithLittleStackLeft, &deletion, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 120000), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_TRUE(deletion.result);
  EXPECT_FALSE(FolderExists(deletion.folder));
}
