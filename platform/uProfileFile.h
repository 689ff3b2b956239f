#pragma once

#include <string>
#include <string_view>

// The file-system primitives under the private-profile reader and writer: the parsing and writing
// logic in platform/uPrivateProfile.cpp is the same everywhere, these come from the platform's own
// uPrivateProfile.cpp. Error codes are the platform's (errno, GetLastError).

// Reads the whole file into content. 0 with exists true; 0 with exists false when the file is
// missing (its directory exists); otherwise the error code (a directory, no access, ...).
// Any thread.
int ReadProfileFile(const std::string& path, std::string& content, bool& exists);

// Replaces the file's content as a whole: a complete copy is written beside it and then moved over
// it, so that a crash leaves the old or the new file, never a mix. exists tells whether the file
// was there when it was read. 0 or the error code; on failure the old file is untouched and no
// temporary file is left. Any thread; writers of one file must not run at the same time.
int ReplaceProfileFile(const std::string& path, std::string_view content, bool exists);

// Leaves code as the calling thread's last error, where LastProfileError reads it.
void SetProfileError(int code);
