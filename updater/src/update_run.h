#pragma once
// The second stage's work: end the main application, apply the manifest, clean up, migrate.

#include <string>

// Runs the update and sets rootFolder (given empty) to the folder from which the main
// application is to be started.
void RunUpdate(std::wstring& rootFolder);
