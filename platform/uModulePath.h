#pragma once

#include <string>

// The full path of the executable or dynamic library whose code or data holds address (a
// plug-in finds its own file this way). Empty when no loaded module holds it. Any thread.
std::string ModulePathOf(const void* address);
