#include "platform.h"

#include <unistd.h>

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

void UseUtf8Console() {}
