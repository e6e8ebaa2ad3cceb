#pragma once

// Runs the built tool as a user would and captures what it prints.

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
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

// One run of the tool and what it must print: standard output exactly,
// standard error as normalizeLog gives it; the exit status is always 0.
struct ToolCase
{
    const char* name;
    std::vector<std::string> args;
    std::string out;
    std::string log;

    friend void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.name; }
};

class Run : public testing::TestWithParam<ToolCase>
{
};

inline const char* toolCaseName(const testing::TestParamInfo<ToolCase>& info)
{
    return info.param.name;
}

} // namespace qorvd::test
