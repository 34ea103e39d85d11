#include "update/listed_apply.h"

#include <windows.h>

#include "base/delivery_keys.h"
#include "base/text.h"

bool HasHashList(const std::wstring& deliveryFinalPath) {
  return CompiledDeliveryKeys().count > 0 ||
         GetFileAttributesW(
             (deliveryFinalPath + L"\\" + NarrowToWide(std::string(kHashListFileName))).c_str()) !=
             INVALID_FILE_ATTRIBUTES;
}

ApplyOutcome ApplyListedDelivery(const std::wstring& manifestFolder,
                                 const std::wstring& deliveryFinalPath,
                                 const std::wstring& rootFolder) {
  ListedApply apply;
  apply.manifestFolder = manifestFolder;
  apply.deliveryFinalPath = deliveryFinalPath;
  apply.rootFolder = rootFolder;
  if (TrustDelivery(apply) && StageDelivery(apply) && SwapIn(apply)) Commit(apply);
  return apply.outcome;
}
