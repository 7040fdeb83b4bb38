// Shared pieces of the command-line program: argument parsing, usage errors and exit codes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace snapmend {
class EngineSink;
}
namespace snapmend::fsrecovery {
struct Session;
}

namespace snapmend::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the work ran but did not succeed (for example, stopped)
inline constexpr int kExitUsage = 2;    // bad usage or an unreadable medium

// Thrown for a usage error; main prints "snapmend: <what>" and exits with kExitUsage.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A small option parser: flags, options with one value, repeated options and positionals.
class Args {
public:
    explicit Args(std::span<char* const> argv);

    bool flag(std::string_view name);
    std::optional<std::string> option(std::string_view name);
    std::vector<std::string> options(std::string_view name);
    std::vector<std::string> positionals();
    // Throws UsageError naming anything that was not taken.
    void finish() const;

private:
    std::vector<std::string> m_args;
    std::vector<bool> m_taken;
};

// Parses a 1-based number or throws UsageError.
unsigned long parseCount(std::string_view option, const std::string& text);

struct Command {
    std::string_view name;
    std::string_view summary;
    std::string_view usage;
    int (*run)(Args& args);
};

int runBasic(Args& args);
int runDeep(Args& args);
int runDrives(Args& args);
int runLoad(Args& args);
int runPartitions(Args& args);
int runParams(Args& args);
int runPhoto(Args& args);
int runVideo(Args& args);
int runRaw(Args& args);

// Writes a scan's recovery log for --log (commands_load.cpp); false after telling the sink why.
bool writeScanLog(const fsrecovery::Session& session, std::uint32_t mode, const std::string& path,
                  EngineSink& sink);

} // namespace snapmend::cli
