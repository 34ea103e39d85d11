#pragma once
// One apply at a time on an installation. The update service and the elevated stage both take
// this lock before they read the journal, so that neither ever rolls back or finishes the
// other's swaps. It is a file in the installation's <root>\.vintrel that only SYSTEM and
// Administrators may open, held without sharing and deleted when let go (or when its process
// ends): a program of a standard user can neither take it nor hold it.

#include <functional>
#include <string>

// Runs work while holding rootFolder's lock; false, with nothing run, when another run holds it
// or it cannot be taken. A root folder that does not exist has nothing to guard: work runs.
bool WithInstallationLock(const std::wstring& rootFolder, const std::function<void()>& work);
