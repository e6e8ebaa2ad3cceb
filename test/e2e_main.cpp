// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// End-to-end tests: the arguments left after GoogleTest's own are the command
// that starts the tool.

#include "tool_runner.hpp"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    qorvd::test::setToolCommand({argv + 1, argv + argc});
    return RUN_ALL_TESTS();
}
