#pragma once
// The two command-line arguments, process-wide: empty until the entry takes them, then set once
// and only read. Defined with the stages; the update reads rootPathArg.

extern const wchar_t* installPathArg;
extern const wchar_t* rootPathArg;
