// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// Floor: an empty C++ program that still loads the C++ runtime, as the tool
// does (linked with --no-as-needed so libstdc++ is not dropped).
int main()
{
    return 0;
}
