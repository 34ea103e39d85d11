#pragma once
// Relative names as the updater and Windows see them: UTF-8 text with "/" between the levels,
// compared without regard to letter case, limited in length and in the characters a name holds.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The platform's path limit less the terminator: the longest joined path the updater uses.
constexpr size_t kMaxPathLength = 259;
// CreateDirectoryW leaves room for an 8.3 name: the longest folder path it makes.
constexpr size_t kMaxFolderPathLength = 247;
// "C:\Program Files (x86)\Dremoth直播助手", the longer of the two brands' usual roots.
constexpr size_t kDefaultRootLength = 34;
// "C:\Users\" + a user name of 20 characters (the longest Windows allows) +
// "\AppData\Roaming\OrbeskVintrel\Temp".
constexpr size_t kDefaultDeliveryLength = 64;

// The key under which Windows finds a name: every letter folded to upper case, so that two
// names with equal keys are one file. Invalid UTF-8 bytes stay as they are.
std::string CaseKey(std::string_view utf8);

// The upper-case form Windows compares a code point by (letters code page 936 can write, and
// their partners in the same blocks); other code points are returned unchanged.
char32_t FoldToUpper(char32_t c);

// Code points of utf8; nothing is returned for invalid UTF-8 (an empty vector for empty text
// is told apart by valid).
std::vector<char32_t> DecodeUtf8(std::string_view utf8, bool* valid);

// Number of UTF-16 units of utf8 (what the platform counts in a path); invalid bytes count one.
size_t Utf16Length(std::string_view utf8);

// Why Windows cannot hold a file or folder of this name (one level, no separator), or empty
// when it can: reserved characters, a trailing dot or blank, a device name.
std::string WindowsNameProblem(std::string_view name);

// The levels of a relative name, split at "/".
std::vector<std::string> SplitLevels(std::string_view relative);

// The folder part of a relative name ("" for a name at the top).
std::string ParentOf(std::string_view relative);

// Whether relative lies at the top level (no "/").
bool IsTopLevel(std::string_view relative);

// Orders relative file names so that each folder's own files come before the files of its
// subfolders, folders and files compared by their case keys: the order in which the updater
// can make every new folder from the first file copied into it.
bool ParentsFirstLess(std::string_view a, std::string_view b);

// Appends the code point c to out as UTF-8 (a lone surrogate in its three-byte form).
void AppendUtf8(std::string& out, char32_t c);
