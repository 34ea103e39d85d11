#include "platform.h"

#include <windows.h>
#include <io.h>

#include <cstdio>

unsigned long ProcessId() { return GetCurrentProcessId(); }

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void UseUtf8Console() { SetConsoleOutputCP(CP_UTF8); }
