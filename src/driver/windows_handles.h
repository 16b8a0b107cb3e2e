// Windows only: a handle system_windows.cpp keeps for output_windows.cpp.
#pragma once

// The file on a disk that standard output was redirected to when it was moved
// aside (move_standard_output_aside), as a HANDLE of the same access the
// shell gave it; INVALID_HANDLE_VALUE when standard output was not moved or
// is no file on a disk. It stays open until the process ends.
void* standard_output_file();
