#pragma once
// Whether only administrators can change what the update service runs and reads: its own
// Updater.exe, the installation's folders and every folder above them. The service runs as
// LocalSystem and any user may start it, so an installation that a user can write would run
// that user's program as SYSTEM; it is judged by owner and permissions, never by its path.

#include <windows.h>

#include <string>

// Whether an account that is not SYSTEM, Administrators or TrustedInstaller is an
// administrator's own account (an owner the installer's policy may give).
using AdministratorTest = bool (*)(PSID account);

enum class TrustedLevel {
  // Updater.exe, bin\32bit, bin, the root and the updater's records: nobody else may write,
  // append, add or delete in it, nor change its permissions or owner.
  kInstallation,
  // A folder above the root: nobody else may delete or rename it or what is in it, nor change
  // its permissions or owner. Adding beside the installation changes nothing of it (every
  // drive's root lets users make folders).
  kAbove,
};

// Why an item with this descriptor (owner and DACL) is not administrators' alone: "owned by
// <account>", "<account> may <what>", "has no permissions"; empty when it is. Entries that only
// children inherit do not count; an entry of a kind not judged here refuses.
std::string DescriptorProblem(PSECURITY_DESCRIPTOR descriptor, TrustedLevel level,
                              AdministratorTest isAdministrator);

// The platform's answer: the account running this process when its token is an
// administrator's, or a member of the local Administrators group.
bool IsAdministratorAccount(PSID account);

// Walks the installed executable (a final path, "C:\...\bin\32bit\Updater.exe") up to its
// drive: "<item> : <problem>" for the first item that fails, or that cannot be opened and
// judged, or a volume that keeps no permissions (FAT, exFAT); empty when all pass.
std::string InstallationTrustProblem(const std::wstring& executable);
