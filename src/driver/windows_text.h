// Windows only: the program's names are UTF-8 (as on every other system);
// Windows' own file functions take UTF-16. Every name is converted at the
// call that hands it to the system, and every error the system gives is
// turned into the errno value whose text the messages print.
#pragma once

#include <string>

// UTF-8 to UTF-16; an invalid sequence becomes U+FFFD (and then names no file).
std::wstring wide_from_utf8(const std::string& text);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8_from_wide(const wchar_t* text);
// The errno value for a Windows error code (GetLastError), EIO for one
// without a counterpart.
int errno_from_windows_error(unsigned long error);
