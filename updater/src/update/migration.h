#pragma once
// Bringing an installation of the earlier brand over to the current one.

#include <string>

// When rootFolder contains the earlier brand: renames the folder to the first free name of the
// current brand (base name, then base1 to base99), sets rootFolder to it, and when the main
// application is there puts its shortcut on the all-users desktop and removes the earlier one.
// Does nothing more once a step fails.
void MigrateEarlierBrand(std::wstring& rootFolder);
