#pragma once

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

// The fatal-error report of the process: a message box captioned "Application Error" on Windows,
// "Application Error: " + text on standard error elsewhere.
void ReportFatalError(const std::string& text);
