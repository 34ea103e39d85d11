#include "update/shortcuts.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <memory>

#include "base/app_names.h"

using Microsoft::WRL::ComPtr;

namespace {

struct ItemListFree {
  void operator()(ITEMIDLIST* list) const { CoTaskMemFree(list); }
};
using UniqueItemList = std::unique_ptr<ITEMIDLIST, ItemListFree>;

// Holds a single-threaded apartment for its scope; uninitialises only what it initialised.
class ComApartment {
 public:
  ComApartment() : entered_(SUCCEEDED(CoInitialize(nullptr))) {}
  ~ComApartment() {
    if (entered_) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  bool entered() const { return entered_; }

 private:
  bool entered_;
};

// Runs inside an apartment; its interfaces are released when it returns, before the apartment
// is left.
bool SaveShortcut(const std::wstring& target) {
  ComPtr<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(&link)))) {
    return false;
  }
  link->SetPath(target.c_str());
  ComPtr<IPersistFile> file;
  if (FAILED(link.As(&file))) return false;
  const std::wstring desktop = GetCommonDesktopFolder();
  if (desktop.empty()) return false;
  file->Save((desktop + kShortcutName).c_str(), FALSE);
  return true;
}

}  // namespace

std::wstring GetCommonDesktopFolder() {
  ITEMIDLIST* found = nullptr;
  if (SHGetSpecialFolderLocation(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, &found) != S_OK) {
    return std::wstring();
  }
  UniqueItemList list(found);
  // SHGetPathFromIDListW writes at most MAX_PATH characters.
  wchar_t path[MAX_PATH] = {};
  if (!SHGetPathFromIDListW(list.get(), path)) return std::wstring();
  return path;
}

bool CreateDesktopShortcut(const std::wstring& target) {
  const ComApartment apartment;
  if (!apartment.entered()) return false;
  return SaveShortcut(target);
}
