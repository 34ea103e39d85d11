#pragma once
// The second stage's work: end the main application, apply the manifest, clean up, migrate.

#include <string>

// Runs the update and sets rootFolder (given empty) to the folder from which the main
// application is to be started.
void RunUpdate(std::wstring& rootFolder);

// The update's steps after the wait, for the delivery in dataTempFolder and the root folder
// already set: repair an update killed part-way, apply the manifest, remove the manifest
// folder, migrate. rootFolder may change.
void ApplyDeliveredUpdate(const std::wstring& dataTempFolder, std::wstring& rootFolder);

// Acts on each entry of manifestFolder's UpdateInfo.ini as soon as it is read: copies the
// "UpdatedFiles:" from manifestFolder to rootFolder and deletes the "DeletedFiles:" below
// rootFolder. An entry that would reach outside either folder, or a delivered file that is a
// link, lies behind one or has a second name, is skipped with a log line. False, with a log
// line and nothing applied, when manifestFolder or the data folder above it is a link. A
// delivery that carries its hash list is applied all or nothing instead (ApplyListedDelivery).
bool ApplyManifest(const std::wstring& manifestFolder, const std::wstring& rootFolder);
