// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

/* Floor of the same work: what a run of the tool must do, in plain C with
 * the C library's own functions. It takes the same arguments, decodes the
 * base64 text, checks the record's size, reads the clock, and writes the
 * same summary and log entry (snprintf, gmtime_r, strftime, write). No
 * sandbox, no checks beyond the record's: the least a C program can do. */
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static void put(int fd, const char* text, int length)
{
    if (length > 0 && write(fd, text, (size_t)length) < 0)
    {
        _exit(1);
    }
}

static void logLine(const char* level, int line, const char* message)
{
    struct timespec now;
    struct tm broken;
    char stamp[32];
    char text[512];
    timespec_get(&now, TIME_UTC);
    gmtime_r(&now.tv_sec, &broken);
    strftime(stamp, sizeof stamp, "%F %T", &broken);
    put(2, text,
        snprintf(text, sizeof text, "%s%ld UTC [\"qorv_uefi_raw_data_parser.hpp\":%d] [%s] %s\n",
                 stamp, now.tv_nsec / 1000, line, level, message));
}

static int sextet(char c)
{
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* at = c != '\0' ? strchr(alphabet, c) : NULL;
    return at != NULL ? (int)(at - alphabet) : -1;
}

/* Decodes `text` into `out`; answers the byte count, or -1. */
static long decode(const char* text, uint8_t* out)
{
    size_t length = strlen(text);
    long n = 0;
    if (length % 4 != 0)
    {
        return -1;
    }
    for (size_t i = 0; i < length && text[i] != '='; i += 4)
    {
        int pad = (text[i + 2] == '=') + (text[i + 3] == '=' || text[i + 2] == '=');
        int a = sextet(text[i]), b = sextet(text[i + 1]);
        int c = pad > 1 ? 0 : sextet(text[i + 2]), d = pad > 0 ? 0 : sextet(text[i + 3]);
        if (a < 0 || b < 0 || c < 0 || d < 0)
        {
            return -1;
        }
        uint32_t group = (uint32_t)a << 18 | (uint32_t)b << 12 | (uint32_t)c << 6 | (uint32_t)d;
        out[n++] = (uint8_t)(group >> 16);
        if (pad < 2)
        {
            out[n++] = (uint8_t)(group >> 8);
        }
        if (pad < 1)
        {
            out[n++] = (uint8_t)group;
        }
    }
    return n;
}

static uint64_t le(const uint8_t* at, int bytes)
{
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
    {
        value = value << 8 | at[i];
    }
    return value;
}

int main(int argc, char** argv)
{
    char text[1024];
    char message[128];
    if (argc != 3)
    {
        put(1, text, snprintf(text, sizeof text, "qrov_raw_data_parser subcmd base64RawData.\n"));
        return 0;
    }
    unsigned subcmd = (unsigned)strtoul(argv[1], NULL, 10) & 0xFF;
    uint8_t* data = malloc(strlen(argv[2]) / 4 * 3 + 3);
    long size = data != NULL ? decode(argv[2], data) : -1;
    if (size < 0)
    {
        snprintf(message, sizeof message, "rawData is not base64 encode: %s", argv[2]);
        logLine("ERROR", 287, message);
        put(1, text, snprintf(text, sizeof text, "handleRawData return 3"));
        return 0;
    }
    int length = -1;
    if (subcmd == 0 && size >= 6 && size == 6 + 8 * data[5])
    {
        snprintf(message, sizeof message, "memconf.CpuCount :%u", data[5]);
        logLine("INFO", 84, message);
        length =
            snprintf(text, sizeof text,
                     "MemoryConfig: formatVersion %u, QORV_UEFI_SYS_CONFIG.Data %u, cpuCount %u, "
                     "eccMode ",
                     data[0], (unsigned)le(data + 1, 4), data[5]);
        for (int cpu = 0; cpu < data[5]; ++cpu)
        {
            length += snprintf(text + length, sizeof text - (size_t)length, "%s%llu",
                               cpu != 0 ? "," : "", (unsigned long long)le(data + 6 + 8 * cpu, 8));
        }
        length += snprintf(text + length, sizeof text - (size_t)length, "\n");
    }
    else if (subcmd == 1 && size >= 4 && (uint64_t)size == 4 + 16 * le(data, 4))
    {
        snprintf(message, sizeof message, "mirrorInfo.count :%u", (unsigned)le(data, 4));
        logLine("INFO", 138, message);
        length = 0;
    }
    else if (subcmd == 2 && size >= 8 && (uint64_t)size == 8 * (le(data + 4, 4) + 1))
    {
        snprintf(message, sizeof message, "pprInfo.count :%u", (unsigned)le(data + 4, 4));
        logLine("INFO", 192, message);
        for (long i = 0; i < (long)le(data + 4, 4); ++i)
        {
            (void)time(NULL); /* each recovery record's timestamp */
        }
        length =
            snprintf(text, sizeof text, "MemoryRecoveryLog: size %u\n", (unsigned)le(data + 4, 4));
    }
    else if (subcmd == 3 && size == 64)
    {
        length =
            snprintf(text, sizeof text, "MemoryErrorLog: timestamp %lld", (long long)time(NULL));
        const char* names[] = {"errorInfo",        "errorLocation",   "rdErrLog",
                               "rdErrLogParity",   "rdErrLogMisc",    "rdErrLogAddress1",
                               "rdErrLogAddress2", "rdErrLogAddress3"};
        for (int i = 0; i < 8; ++i)
        {
            length += snprintf(text + length, sizeof text - (size_t)length, ", %s %llu", names[i],
                               (unsigned long long)le(data + 8 * i, 8));
        }
        length += snprintf(text + length, sizeof text - (size_t)length, "\n");
    }
    if (length < 0)
    {
        length = snprintf(text, sizeof text,
                          "rawData size check failed,subcmd: %u, size: %ld\nhandleRawData return 4",
                          subcmd, size);
    }
    put(1, text, length);
    free(data);
    return 0;
}
