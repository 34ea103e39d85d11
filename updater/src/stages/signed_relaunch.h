#pragma once
// The updater the first stage starts when the build carries delivery keys: a delivered
// "Updater.exe" only when the publisher's signed hash list names it with its size and SHA-256,
// and the copy in the temporary folder held so that no other program can put its own file there
// before the elevated process has started from it.

#include <string>

#include "base/delivery_keys.h"
#include "base/handles.h"

// Copies the updater to start over destination and returns the copy held open (read access,
// no write or delete sharing), to be kept until the process started from it runs. The source
// (the relaunch source the first stage picked) is copied when it is the delivered "Updater.exe"
// in dataTempFolder and UpdateInfo.sha256 beside it, verified by UpdateInfo.sig with one of
// keys, lists it with its size and SHA-256, and its release is above the one recorded for
// rootFolder (read as the user; a record that cannot be read starts nothing delivered); otherwise (with one log line saying why, when there
// is a delivered one) the running executable is. Either source is
// hashed from a handle held without write or delete sharing and copied from that handle; the
// copy is hashed again once held. Invalid when no copy of the chosen file could be made and
// held: then nothing may be started from destination.
FileHandle CopySignedUpdater(const std::wstring& source, const std::wstring& dataTempFolder,
                             const std::wstring& rootFolder, const std::wstring& destination,
                             const DeliveryKeySet& keys);
