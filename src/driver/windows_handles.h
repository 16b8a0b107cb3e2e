// Windows only: what system_windows.cpp keeps or knows for output_windows.cpp.
#pragma once

// The file on a disk that standard output was redirected to when it was moved
// aside (move_standard_output_aside), as a HANDLE of the same access the
// shell gave it; INVALID_HANDLE_VALUE when standard output was not moved or
// is no file on a disk. It stays open until the process ends.
void* standard_output_file();

// The name of the stream that holds the program's mark on the file `path`
// (output.h), when the volume `path` is on keeps named streams (NTFS, ReFS);
// empty otherwise (FAT, exFAT, Wine's drives), where "file:stream" would be
// taken as a file of that name.
#include <string>
std::wstring output_mark_stream(const std::wstring& path);
