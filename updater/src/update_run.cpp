#include "update_run.h"

#include "stages.h"
#include "text.h"

void RunUpdate(std::wstring& rootFolder) {
  rootFolder = ReplaceAll(rootPathArg, L"/", L"\\");
}
