// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// End-to-end tests: the arguments left after GoogleTest's own are the command
// that starts the tool (an emulator first, for a cross build). QORV_TOOL, when
// set, names a file to run in place of the built tool: a release file.

#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::vector<std::string> command{argv + 1, argv + argc};
    if (const char* tool = std::getenv("QORV_TOOL"); tool != nullptr && !command.empty())
    {
        command.back() = tool;
    }
    qorvd::test::setToolCommand(std::move(command));
    return RUN_ALL_TESTS();
}
