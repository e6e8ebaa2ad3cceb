#pragma once

// Runs the built tool as a user would and captures what it prints.

#include <cstdint>
#include <string>
#include <vector>

namespace qorvd::test
{

struct ToolRun
{
    std::string out;
    std::string err;
    int exitStatus = -1; // -1: did not exit normally
};

// The command that starts the tool (an emulator wrapper first, when the tool is
// built for another machine); set from the test binary's arguments.
void setToolCommand(std::vector<std::string> command);

ToolRun runTool(const std::vector<std::string>& args);

// Each log entry as "file [LEVEL] message": the timestamp and the source line
// number vary from run to run and build to build and are checked for their
// form only. A line that is not a well-formed entry is kept as "?" + line.
std::string normalizeLog(const std::string& err);

std::string toBase64(const std::vector<uint8_t>& bytes);

} // namespace qorvd::test
