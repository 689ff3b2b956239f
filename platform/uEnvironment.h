#pragma once

#include <string>

// The process environment. Changing it is safe only while no other thread reads it (start-up,
// tests), as with setenv.

// The variable's value; empty when it is not set.
std::string EnvironmentValue(const std::string& name);
// Sets the variable, or removes it when value is empty.
void SetEnvironmentValue(const std::string& name, const std::string& value);
