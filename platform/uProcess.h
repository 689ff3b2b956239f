#pragma once

#include <cstddef>
#include <string>

// The platform's path separator: '\' on Windows, '/' elsewhere.
extern const char PathDelimiter;

// The full path of the running executable. Any thread.
std::string ExecutablePath();

// "dir/sub/name.ext" => "dir/sub/" (the separator stays); "" when there is none.
std::string ExtractFileDir(const std::string& path);
// "dir/sub/name.ext" => "name.ext"
std::string ExtractFileName(const std::string& path);

// Raises the soft open-file limit to the hard limit where the platform has one.
void RaiseOpenFileLimit();

// Keeps the heap to few arenas where the allocator would make one per thread (glibc): memory
// allocated by a connection thread and freed by another then returns to a shared arena, so the
// process does not hold a partly used arena per connection. Nothing elsewhere. Call before any
// thread starts.
void LimitHeapArenas();

// How many descriptors (files and sockets together) the process may hold open at once: the soft
// limit where the platform has one; 0 where it has none (Windows).
std::size_t OpenFileLimit();

// The fatal-error report of the process: a message box captioned "Application Error" on Windows,
// "Application Error: " + text on standard error elsewhere.
void ReportFatalError(const std::string& text);

// A hardware fault nobody handles ends the process at once, with the fault's code as its exit
// code on Windows (0xC0000005 for an access violation) and no error dialog or debugger waiting
// for a user; elsewhere the signal's default action does that already. For the plug-in host,
// whose end the server must see at once. Call at start-up.
void EndProcessOnUnhandledFault();
