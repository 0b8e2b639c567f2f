#pragma once

#include <string>
#include <vector>

namespace qv {

// Runs the program with its command-line arguments (without the program name) and returns
// the exit code: 0 success, 1 a file or device problem, 2 a usage error.
int runQuorvanta(int argc, char** argv);

}  // namespace qv
