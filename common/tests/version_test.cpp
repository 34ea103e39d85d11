// The library carries the project's version where its platform looks for it: on Windows the
// DLL's version resource, on Linux the SONAME, which names the file a program loads.
#include <vintrel/vintrel_common.h>

#include <gtest/gtest.h>

#include <string>

#include "vintrel_version.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

#ifdef _WIN32
TEST(LibraryVersion, DllVersionResourceIsTheProjectVersion) {
    const HMODULE library = GetModuleHandleW(L"Vintrel_Common.dll");
    ASSERT_NE(library, nullptr);
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(library, &path[0], static_cast<DWORD>(path.size())));

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource";
    std::string data(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, &data[0]));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(&data[0], L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), VINTREL_VERSION_MAJOR);
    EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), VINTREL_VERSION_MINOR);
    EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), VINTREL_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    wchar_t* text = nullptr;
    ASSERT_TRUE(VerQueryValueW(&data[0], L"\\StringFileInfo\\080404b0\\FileVersion",
                               reinterpret_cast<void**>(&text), &length));
    const std::string expected = VINTREL_VERSION_TEXT;
    EXPECT_EQ(std::wstring(text), std::wstring(expected.begin(), expected.end()));
}
#else
TEST(LibraryVersion, LoadedByItsSonameWithTheMajorVersion) {
    Dl_info info = {};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&DeviceUtil::GetDeviceId), &info), 0);
    const std::string path = info.dli_fname;
    const std::string name = path.substr(path.find_last_of('/') + 1);
    EXPECT_EQ(name, "libVintrel_Common.so." + std::to_string(VINTREL_VERSION_MAJOR));
}
#endif

}  // namespace
