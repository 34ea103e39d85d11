// The rules that decide what counts as a link and where an opened item lies, as tables; the
// races they close need junctions, which Wine does not have.

#include <gtest/gtest.h>

#include "base/checked_items.h"

namespace {

struct ReparseCase {
  DWORD attributes;
  DWORD tag;
  bool link;
};

}  // namespace

TEST(CheckedItems, OnlyNameSurrogateReparsePointsAreLinks) {
  constexpr DWORD kFolderPoint = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  constexpr DWORD kFilePoint = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT;
  const ReparseCase cases[] = {
      {kFolderPoint, IO_REPARSE_TAG_MOUNT_POINT, true},  // junction or mount point
      {kFolderPoint, IO_REPARSE_TAG_SYMLINK, true},
      {kFilePoint, IO_REPARSE_TAG_SYMLINK, true},
      {kFilePoint, 0x80000018, false},  // IO_REPARSE_TAG_WOF: a compressed file
      {kFilePoint, 0x80000013, false},  // IO_REPARSE_TAG_DEDUP
      {kFilePoint, 0x9000001A, false},  // a cloud files placeholder
      {kFolderPoint, 0, true},          // tag unknown, as Wine shows a Unix link: a link
      {FILE_ATTRIBUTE_DIRECTORY, IO_REPARSE_TAG_SYMLINK, false},  // no reparse point at all
      {INVALID_FILE_ATTRIBUTES, IO_REPARSE_TAG_SYMLINK, false},
  };
  for (const ReparseCase& c : cases) {
    EXPECT_EQ(IsLinkReparse(c.attributes, c.tag), c.link)
        << std::hex << "attributes 0x" << c.attributes << " tag 0x" << c.tag;
  }
}

TEST(CheckedItems, FinalPathsCompareWholeAndWithoutRegardToCase) {
  struct {
    const wchar_t* a;
    const wchar_t* b;
    bool same;
  } const cases[] = {
      {L"\\\\?\\C:\\Users\\u\\AppData\\Roaming\\OrbeskVintrel\\Temp\\a.dll",
       L"\\\\?\\c:\\users\\U\\appdata\\roaming\\orbeskvintrel\\TEMP\\A.DLL", true},
      {L"\\\\?\\C:\\交付\\Ａ.dll", L"\\\\?\\C:\\交付\\ａ.dll", true},  // full-width letters fold too
      {L"\\\\?\\C:\\Temp\\a.dll", L"\\\\?\\C:\\Temp\\a.dll2", false},
      {L"\\\\?\\C:\\Temp\\a\\x.dll", L"\\\\?\\C:\\Windows\\x.dll", false},
      {L"\\\\?\\C:\\Temp", L"\\\\?\\C:\\Temp\\", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SameFinalPath(c.a, c.b), c.same) << c.a << L" / " << c.b;
  }
}
