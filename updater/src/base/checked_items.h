#pragma once
// What a program of the user can write, as the elevated stage meets it: opened without
// following a link, checked through the handle (what it is, where it resolves, how many names
// it has), and then acted on through that handle only.

#include <windows.h>

#include <string>
#include <vector>

#include "base/handles.h"

// Whether a reparse point with these attributes and tag is a link: junctions, symbolic links
// and mount points (name surrogates) are; compressed, deduplicated or cloud placeholder files
// are data. A reparse point whose tag is not known (0, as Wine reports a Unix link) is a link.
bool IsLinkReparse(DWORD attributes, DWORD reparseTag);

// Whether two paths in final form name the same item: equal without regard to letter case, as
// the file system compares names.
bool SameFinalPath(const std::wstring& a, const std::wstring& b);

// The path of an open item as its handle resolves it, every link on the way followed
// ("\\?\C:\..."); empty when the platform cannot tell.
std::wstring FinalPathOf(HANDLE item);

// What GetFileInformationByHandle tells of an open item, but for its volume's serial, left 0.
// That call asks for the volume every time, which Wine answers through its mount manager in
// about half a millisecond, more than the open itself: per delivered file it doubled the apply.
bool ReadItemInformation(HANDLE item, BY_HANDLE_FILE_INFORMATION& info);

enum class ItemKind { kFile, kFolder, kAny };

enum class CheckedState {
  kChecked,      // a plain item of the kind asked, at the path expected: handle open
  kLink,         // the item itself is a link: handle open on the link, never to be entered
  kElsewhere,    // the handle resolved to another place (a link on the way)
  kHardLinked,   // a file with more than one name, which may be someone else's file: handle
                 // open, to remove this name at most
  kUnavailable,  // missing, of the other kind, or not to be opened
};

struct CheckedItem {
  CheckedState state = CheckedState::kUnavailable;
  FileHandle handle;
  BY_HANDLE_FILE_INFORMATION info = {};  // its volume's serial only when checked by identity
  std::wstring finalPath;  // as the handle resolved it, when kChecked
};

// Which item a handle has open: its volume and its number there.
struct ItemIdentity {
  DWORD volume;
  ULONGLONG number;
};

// Opens the item at path, which must be in final form (an opened folder's final path, "\" and
// the names below it), with access and sharing, without following a link, and checks it
// through the handle. It must be at path itself, or, where expected is given, be that very item
// (what a listing through a held folder's handle named), which holds for names and depths the
// platform cannot give a final path for. A folder is opened for listing as well as access.
CheckedItem OpenChecked(const std::wstring& path, DWORD access, DWORD sharing, ItemKind kind,
                        const ItemIdentity* expected = nullptr);

// A folder whose own place a user may choose (the roaming application data folder) opened as
// it is, links followed, and checked folders below it: each one opened without following a
// link, at the final path of the folder above it, and held (no delete sharing, so it cannot be
// renamed or removed) for as long as this lives.
struct AnchoredFolder {
  std::wstring finalPath;  // the deepest folder reached, in final form; empty: none
  bool throughLink = false;  // a folder below the anchor was a link or resolved elsewhere
  std::vector<FileHandle> held;
};

// Opens anchor following links, then each of names below it as a checked folder. finalPath
// stays empty when any of them is missing or not plain.
AnchoredFolder OpenAnchoredFolder(const std::wstring& anchor,
                                  const std::vector<std::wstring>& names);

// Opens or creates the file name directly inside the open folder, relative to its handle, so
// that no link anywhere can redirect the creation; the file itself is not followed either.
FileHandle OpenOrCreateInFolder(HANDLE folder, const std::wstring& name, DWORD access,
                                DWORD sharing);

// Creates name directly inside the open folder, relative to its handle, as new (never over
// anything that stands there, never through a link), a folder or a file, with descriptor as
// its security (null: inherited). Invalid when it cannot be made.
FileHandle CreateInFolder(HANDLE folder, const std::wstring& name, DWORD access, DWORD sharing,
                          ItemKind kind, PSECURITY_DESCRIPTOR descriptor = nullptr);

// Removes the open item (a file, an empty folder, or a link itself) through its handle, which
// must have been opened with DELETE access. False when it cannot be removed (a read-only file,
// a folder that is not empty).
bool RemoveThroughHandle(HANDLE item);

// RemoveThroughHandle for a file that may be read-only: the attribute cleared through the
// same handle (opened with DELETE and FILE_WRITE_ATTRIBUTES) first. Only for a file with no
// other name: the attribute belongs to the file, not the name.
bool RemoveEvenReadOnly(HANDLE item);

// Gives the open file (opened with DELETE access) the name to: a full path, or with folder a
// name directly inside that open folder (no path to be redirected on the way). to must not
// exist yet, unless replace: then a file there is replaced.
bool RenameThroughHandle(HANDLE item, const std::wstring& to, HANDLE folder = nullptr,
                         bool replace = false);
