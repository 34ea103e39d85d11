#pragma once
// The few calls that differ between POSIX and Windows, besides the code page conversion.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tree.h"

// The running process's id.
unsigned long ProcessId();

// Whether standard error is a terminal (progress is shown only there).
bool StderrIsTerminal();

// While catching (between CatchInterrupts(true) and (false)), an interrupt (Ctrl+C, SIGINT,
// SIGTERM, SIGHUP, the console closing) only sets a flag, which Interrupted() reads: the writer
// stops at its next chunk and removes what it made. Otherwise they end the process as usual.
void CatchInterrupts(bool catching);
bool Interrupted();

// Whether the process of this id still runs (true when that cannot be told).
bool ProcessRuns(unsigned long id);

// Prepares the console for UTF-8 output (Windows); nothing elsewhere.
void UseUtf8Console();

// A stream closed when it goes.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// path opened for binary reading (the caller closes it); null when it cannot be opened.
std::FILE* OpenFileForReading(const std::filesystem::path& path);

// One item directly in a folder, as the folder's own listing gives it.
struct FolderEntry {
  std::string name;  // UTF-8; on Windows a lone surrogate keeps its three-byte form (no UTF-8
                     // reader takes it), elsewhere the name's bytes as they are
  ItemKind kind;     // a link judged without following it: on Windows as the updater judges
                     // reparse points (junctions, symbolic links and mount points are links;
                     // compressed, deduplicated or placeholder files are data)
  std::uint64_t size;
};

// The items directly in folder, without "." and "..". The names come from the listing itself,
// never through a path: on Windows "a:b.txt" read as a path would name the drive A:. False, with
// error set, when the folder cannot be read.
bool ReadFolder(const std::filesystem::path& folder, std::vector<FolderEntry>& entries,
                std::string& error);
