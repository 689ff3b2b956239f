#pragma once

#include <cstdint>
#include <string>

// Private-profile files: INI-style text made of "[Section]" lines, "Key=Value" lines, comments that
// begin with ';' and blank lines, with LF, CR LF or CR line ends. A UTF-8 byte-order mark at the
// start is read as if it were not there and kept when the file is written. Section and key names
// match without regard to letter case; only the first section of a name counts, and in it the first
// occurrence of a key. These are the conventions of GetPrivateProfileStringA; the project reads and
// writes them itself on every platform, since the Windows writer may rewrite lines it was not asked
// to change.

// The longest value ReadProfileString returns; longer values are cut.
inline constexpr std::size_t MaxProfileValueLength = 2047;

// The largest configuration file that is read; a larger one is refused, not read.
inline constexpr std::uint64_t MaxProfileFileSize = 16u * 1024u * 1024u;

enum class TProfileFileCheck {
  Missing,     // no such file (it will be created)
  Usable,      // a regular file of at most MaxProfileFileSize bytes
  TooLarge,    // a regular file above MaxProfileFileSize bytes
  NotRegular,  // a directory, a device, a pipe... (links are followed)
  Unreadable,  // its status cannot be read (no permission on a parent, ...)
};

// What the file at path is, for the start-up check that refuses a configuration file the server
// must not read. Any thread.
TProfileFileCheck CheckProfileFile(const std::string& path);

// Reads one key of a section. False when the file, the section or the key is missing, or the file
// is not a regular file of at most MaxProfileFileSize bytes (value is then left alone). The value
// has the blanks around it dropped, then one pair of enclosing single or double quotation marks,
// and is cut to MaxProfileValueLength characters; a key present with an empty value yields "".
//   "  Key = 'a b'  " => "a b"      "Key=" => ""
// Any thread.
bool ReadProfileString(const std::string& path, const std::string& section, const std::string& key,
                       std::string& value);

// Writes one key of a section: replaces the value of the first occurrence in place, or adds
// "Key=Value" after the last entry of the section, creating the section at the end of the file and
// the file itself when missing. Every other line stays byte for byte; a new file gets LF line
// ends, an existing one keeps its own. The file is replaced as a whole (a complete copy written
// beside it, then renamed over it), so a crash leaves the old or the new file, never a mix.
// False when the file cannot be read or written, with the platform's error code left for
// LastProfileError; EINVAL (ERROR_INVALID_PARAMETER on Windows) when a name or the value contains
// a line break (or the key an '=', the section a ']').
// Any thread; writers of the same file must not run at the same time.
bool WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value);

// The error code of the calling thread's last failed WriteProfileString (errno, GetLastError).
int LastProfileError();
// The code of a name or value that a write refuses (EINVAL, ERROR_INVALID_PARAMETER).
extern const int ProfileInvalidArgument;

// The platform's own reader of these conventions, where it has one (GetPrivateProfileStringA on
// Windows; none on POSIX), so that tests can hold ReadProfileString against it. Same results as
// ReadProfileString; false also where the platform has no such reader. Any thread.
bool ReadPlatformProfileString(const std::string& path, const std::string& section,
                               const std::string& key, std::string& value);
