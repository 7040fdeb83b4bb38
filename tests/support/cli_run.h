// Runs the built snapmend program with arguments and captures its exit code and output.
#pragma once

#include <string>

#include "tests/support/test_media.h"

namespace snapmend::test {

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// arguments are passed through the shell as written; dir receives the captured streams.
CliRun runCli(const TempDir& dir, const std::string& arguments);

std::string slurp(const std::filesystem::path& path);

} // namespace snapmend::test
