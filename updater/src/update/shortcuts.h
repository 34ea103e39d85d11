#pragma once
// The main application's shortcut on the desktop shared by all users.

#include <string>

// The all-users desktop folder; empty when it cannot be found.
std::wstring GetCommonDesktopFolder();

// Saves "Kivo直播助手.lnk" on the all-users desktop with target as its only property. True
// when COM, the shell link and the desktop folder were all there and the save was issued.
bool CreateDesktopShortcut(const std::wstring& target);
