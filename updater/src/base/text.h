#pragma once
// Conversions between wide text (UTF-16, every path) and narrow text (code page 936, the log
// and the manifest), and small helpers on wide strings.

#include <string>

// Code page 936 text to wide text; a byte sequence that is not valid code page 936 becomes a
// replacement character, so the result never silently loses the text after it.
std::wstring NarrowToWide(const std::string& narrow);

// Wide text to code page 936; a character that code page 936 cannot hold becomes "?", so a
// converted name never names a different, shorter file.
std::string WideToNarrow(const std::wstring& wide);

// Every occurrence of pattern in source replaced by replacement, scanning left to right and never
// searching the text just inserted. An empty pattern leaves the source as it is.
std::wstring ReplaceAll(const std::wstring& source, const std::wstring& pattern,
                        const std::wstring& replacement);

// Decimal text of value, with a minus sign when negative.
std::wstring IntToWide(int value);

// Decimal text of value. Made here rather than by std::to_wstring, whose formatting through
// swprintf brings the whole of the C library's printf (floating point included) into the
// program.
std::wstring DecimalWide(unsigned long long value);

// Wide text to UTF-8 (how the journal and the lists beside it store paths), and back; text that
// is not valid UTF-8 gives an empty string.
std::string WideToUtf8(const std::wstring& wide);
std::wstring Utf8ToWide(const std::string& utf8);
