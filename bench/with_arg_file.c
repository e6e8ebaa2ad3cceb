// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

/* with_arg_file FILE CMD [ARG...]: runs CMD with every argument "@" replaced by
 * the contents of FILE. A 128 KiB record cannot pass through hyperfine's own
 * command line; this adds one exec, measured as a floor of its own. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        fputs("usage: with_arg_file FILE CMD [ARG...]\n", stderr);
        return 2;
    }
    FILE* file = fopen(argv[1], "rb");
    static char text[1 << 18];
    size_t size = file ? fread(text, 1, sizeof(text) - 1, file) : 0;
    if (!file || ferror(file))
    {
        perror(argv[1]);
        return 2;
    }
    fclose(file);
    text[size] = '\0';
    for (int i = 2; i < argc; ++i)
    {
        if (strcmp(argv[i], "@") == 0)
        {
            argv[i] = text;
        }
    }
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    return 127;
}
