// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

#pragma once

// Runs the built tool as a user would and captures what it prints.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace qorvd::test
{

struct ToolRun
{
    std::string out;
    std::string err;
    int exitStatus = -1;     // -1: did not exit normally
    int signal = 0;          // the signal that ended it, if one did
    std::time_t started = 0; // the clock, in seconds, just before the start
    std::time_t ended = 0;   // and just after the end
};

// Where one of the tool's output streams goes.
enum class Sink
{
    Captured,   // a file, read back into ToolRun
    DeviceFull, // /dev/full: every write fails with ENOSPC
    ReaderGone, // a pipe whose reading end is closed before the start
};

struct Streams
{
    Sink out = Sink::Captured;
    Sink err = Sink::Captured;
    // As systemd starts services (and so the programs they run); otherwise
    // the tool starts with SIGPIPE at its default, whatever the harness has.
    bool sigpipeIgnored = false;
    // Bytes a file may grow to (RLIMIT_FSIZE), 0 for no limit: a write across
    // it is cut short, the next fails with SIGXFSZ ignored.
    size_t fileLimit = 0;
};

// The command that starts the tool (an emulator wrapper first, when the tool is
// built for another machine); set from the test binary's arguments.
void setToolCommand(std::vector<std::string> command);

// Runs the tool with `args`; `wrapper` (a command that runs the rest of its
// command line, such as prlimit) goes first.
ToolRun runTool(const std::vector<std::string>& args, const std::vector<std::string>& wrapper = {},
                const Streams& streams = {});

// Whether the tool runs as it is: not under an emulator (the command has more
// than the tool), nor valgrind, nor built with sanitizers (the build says so
// in TOOL_SANITIZED, valgrind's setup in QORV_UNDER_VALGRIND). Resource
// limits are meant for the tool alone.
bool toolRunsAlone();

// Each log entry of the run's standard error as "file [LEVEL] message": the
// source line number varies from build to build and is checked for its form
// only, the timestamp for its form and for a time within the run. A line that
// is not such an entry is kept as "?" + line.
std::string normalizeLog(const ToolRun& run);
// The same for any text, with entries logged from `earliest` to `latest`.
std::string normalizeLog(const std::string& err, std::time_t earliest, std::time_t latest);

// How the harness runs without entropy (QORV_NO_ENTROPY): not at all; "1",
// every run (a kernel of a BMC that is still booting); "rows", only the runs
// whose calls differ from the others'.
enum class NoEntropy : uint8_t
{
    Off,
    All,
    Rows,
};
NoEntropy withoutEntropy();

} // namespace qorvd::test
