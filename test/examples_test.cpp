// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// The samples in examples/ print what they say. A sample is a comment line,
// the command ("$ qorv_raw_data_parser SUBCMD TEXT"), then what the run
// writes: "stderr: " and "stdout: " lines, and "\ no newline ..." after a last
// standard output line that has none. Log entries and the error log's
// timestamp are matched as every end-to-end test matches them.

#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <regex>
#include <string>
#include <vector>

namespace qorvd::test
{
namespace
{
struct Sample
{
    std::vector<std::string> args;
    std::string out;
    std::string err;
};

Sample readSample(const std::filesystem::path& path)
{
    Sample sample;
    std::ifstream file(path);
    std::string line;
    std::getline(file, line); // what the record holds
    std::getline(file, line);
    static const std::regex command(R"(\$ qorv_raw_data_parser (\S+) (\S*))");
    std::smatch match;
    if (!std::regex_match(line, match, command))
    {
        ADD_FAILURE() << "no command line: " << line;
        return sample;
    }
    sample.args = {match[1].str(), match[2].str()};
    while (std::getline(file, line))
    {
        if (line.starts_with("stdout: "))
        {
            sample.out += line.substr(8) + "\n";
        }
        else if (line.starts_with("stderr: "))
        {
            sample.err += line.substr(8) + "\n";
        }
        else if (line.starts_with("\\ no newline") && !sample.out.empty())
        {
            sample.out.pop_back();
        }
        else
        {
            ADD_FAILURE() << "not a line of output: " << line;
        }
    }
    return sample;
}

// The error log's timestamp as "timestamp T" when it lies from `earliest` to
// `latest`.
std::string normalizeTimestamp(const std::string& out, std::time_t earliest, std::time_t latest)
{
    static const std::regex stamp(R"(^(MemoryErrorLog: timestamp )([1-9]\d*))");
    std::smatch match;
    if (!std::regex_search(out, match, stamp))
    {
        return out;
    }
    const auto when = std::stoll(match[2].str());
    return when >= earliest && when <= latest ? match[1].str() + "T" + match.suffix().str() : out;
}

TEST(Examples, PrintWhatTheySay)
{
    const char* dir = std::getenv("QORV_EXAMPLES");
    ASSERT_NE(dir, nullptr) << "QORV_EXAMPLES names the samples' folder";
    constexpr std::time_t always = std::numeric_limits<std::time_t>::max();
    int samples = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
    {
        if (entry.path().extension() != ".sample")
        {
            continue;
        }
        SCOPED_TRACE(entry.path().filename().string());
        ++samples;
        const Sample sample = readSample(entry.path());
        const ToolRun run = runTool(sample.args);
        EXPECT_EQ(normalizeTimestamp(run.out, run.started, run.ended),
                  normalizeTimestamp(sample.out, 0, always));
        EXPECT_EQ(normalizeLog(run), normalizeLog(sample.err, 0, always));
        EXPECT_EQ(run.exitStatus, 0);
    }
    EXPECT_GT(samples, 0);
}

} // namespace
} // namespace qorvd::test
