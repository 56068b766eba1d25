// The entry point: the argument list in, the exit status out.
#pragma once

#include <string>
#include <vector>

namespace velk {

// Runs one command for the arguments after the program name. Writes to
// standard output and standard error; returns 0 or 1.
int run_entry(const std::vector<std::string>& args);

}  // namespace velk
