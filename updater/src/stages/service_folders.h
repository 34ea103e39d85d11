#pragma once
// Where the update service keeps what it works with: its folders below %ProgramData%, made and
// judged as its own (never one a user made first), and each request's copy of a delivery, made
// relative to held handles. Nothing here follows a link.

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/handles.h"

// Memory the security calls hand out, freed with LocalFree.
struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreeDeleter>;

// The security descriptor an SDDL string describes; null when it does not convert.
LocalMemory DescriptorFromSddl(const wchar_t* sddl);

// Gives the open item the owner and protected DACL of sddl (the handle needs WRITE_DAC and
// WRITE_OWNER).
bool ApplySddl(HANDLE item, const wchar_t* sddl);

// "\\?\C:\..." as "C:\..."; empty for any other form (a network or device path).
std::wstring DrivePath(const std::wstring& finalPath);

// text with every letter in lower case.
std::wstring Lower(std::wstring text);

// The service's folders, held for as long as this lives: OrbeskVintrel, service, logs.
struct OwnFolders {
  std::wstring finalPath;  // the service folder; empty when they cannot be had
  std::vector<FileHandle> held;
  std::vector<std::string> notes;  // what was moved aside, for the log once it can be written
  HANDLE Service() const { return held[1].get(); }
};

// %ProgramData%\OrbeskVintrel\service and its "logs" folder, each level the service's own: the
// plain folder an administrator made, judged by owner and permissions and given its descriptor
// again; anything else standing there (a user's folder, a link, a file) moved aside to a fresh
// name, never entered, and a new folder made. finalPath stays empty when that fails.
OwnFolders OpenOwnFolders();

// One request's copy of a delivery: a fresh folder made inside the held service folder that only
// SYSTEM and Administrators may enter, held without delete sharing; every folder and file below
// it made relative to a held handle, as new, so no link can lead a write anywhere else.
struct CopyFolder {
  std::wstring finalPath;
  FileHandle held;
  // Made below it, each with its relative path in lowercase (a delivery names few folders).
  std::vector<std::pair<std::wstring, FileHandle>> levels;
};

// Makes copy's folder inside the held service folder; false when it cannot.
bool MakeCopyFolder(HANDLE serviceFolder, CopyFolder& copy);

// The new file relative ("\" between levels) below the copy folder, each folder on the way made
// relative to the one above; invalid when anything stood in the way.
FileHandle NewFileInCopy(CopyFolder& copy, const std::wstring& relative);

// The new file name in the copy folder, holding bytes.
bool WriteNewFileInCopy(CopyFolder& copy, const std::wstring& name, const std::string& bytes);

// What earlier requests left in the service folder: the copy of one ended part-way (its folder of
// 16 hexadecimal digits) and results nobody read within the hour.
void RemoveStaleItems(const std::wstring& serviceFolder);
