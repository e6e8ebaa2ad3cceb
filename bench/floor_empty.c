// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

/* Floor: the cheapest process a C toolchain makes. */
int main(void)
{
    return 0;
}
