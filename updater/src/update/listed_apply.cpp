#include "update/listed_apply.h"

#include <windows.h>

#include "base/delivery_keys.h"
#include "base/text.h"

bool HasHashList(const std::wstring& deliveryFinalPath) {
  // What a run killed while removing a delivery leaves (its manifest goes first) is no delivery
  // to verify and refuse: it goes without a word.
  if (GetFileAttributesW((deliveryFinalPath + L"\\UpdateInfo.ini").c_str()) ==
      INVALID_FILE_ATTRIBUTES) {
    return false;
  }
  return CompiledDeliveryKeys().count > 0 ||
         GetFileAttributesW(
             (deliveryFinalPath + L"\\" + NarrowToWide(std::string(kHashListFileName))).c_str()) !=
             INVALID_FILE_ATTRIBUTES;
}

ApplyOutcome ApplyListedDelivery(const std::wstring& manifestFolder,
                                 const std::wstring& deliveryFinalPath,
                                 const std::wstring& rootFolder,
                                 const std::function<void()>& beforeSwaps) {
  ListedApply apply;
  apply.manifestFolder = manifestFolder;
  apply.deliveryFinalPath = deliveryFinalPath;
  apply.rootFolder = rootFolder;
  if (!TrustDelivery(apply) || !StageDelivery(apply)) return apply.outcome;
  // Nothing the main application uses was touched so far: it runs on while the delivery is
  // verified and staged, and is down only for the swaps.
  if (beforeSwaps) beforeSwaps();
  if (SwapIn(apply)) Commit(apply);
  return apply.outcome;
}
