#pragma once
// The fixed names of the main application, its two brands and their shortcuts.

// The brand that older installations still carry in their folder, executable and shortcut, and
// the one that replaces it.
inline constexpr wchar_t kEarlierBrand[] = L"Dremoth";
inline constexpr wchar_t kCurrentBrand[] = L"Kivo";

// The per-user data folder's name under each brand.
inline constexpr wchar_t kDataFolderName[] = L"OrbeskVintrel";
inline constexpr wchar_t kEarlierDataFolderName[] = L"UlvarnVintrel";

// The main application's executable, below the root folder.
inline constexpr wchar_t kMainAppFolder[] = L"/bin/32bit/";
inline constexpr wchar_t kMainAppName[] = L"Kivo直播助手.exe";

// The updater as delivered into the data folder's "Temp", and its relaunched copy in the
// temporary folder.
inline constexpr wchar_t kDeliveredUpdaterName[] = L"Updater.exe";
inline constexpr wchar_t kRelaunchedUpdaterName[] = L"Kivo直播助手升级程序.exe";

// The all-users desktop shortcuts, appended to the desktop folder as plain text.
inline constexpr wchar_t kShortcutName[] = L"/Kivo直播助手.lnk";
inline constexpr wchar_t kEarlierShortcutName[] = L"/Dremoth直播助手.lnk";

// Processes ended before the update touches any file (narrow, code page 936).
inline constexpr char kEarlierMainAppProcess[] = "Dremoth直播助手.exe";
inline constexpr char kMainAppProcess[] = "Kivo直播助手.exe";
inline constexpr char kDeliveredUpdaterProcess[] = "Updater.exe";
