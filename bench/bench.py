#!/usr/bin/env python3
# SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
# SPDX-License-Identifier: Apache-2.0
"""Measures the tool against the process floor and its peers; prints one
table and writes bench/RESULTS.md with a plot. Called by bench/run, which
builds everything named on the command line first.

Instructions: valgrind --tool=callgrind (repeatable on a noisy machine).
Wall time: hyperfine, as ratios against floors measured in the same run.
Peak memory: /usr/bin/time. Sizes: the stripped executables."""

import argparse
import base64
import datetime
import json
import os
import platform
import re
import shlex
import struct
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)


def sample(name):
    with open(os.path.join(TOP, "examples", name + ".sample")) as f:
        *_, subcmd, text = f.read().splitlines()[1].split()
    return [subcmd, text]


def ppr(entries):
    data = struct.pack("<II", 0x50505231, entries)
    data += b"".join(
        struct.pack("<II", i, ~i & 0xFFFFFFFF) for i in range(entries)
    )
    return ["2", base64.b64encode(data).decode()]


def mirror(entries):
    data = struct.pack("<I", entries) + bytes(16 * entries)
    return ["1", base64.b64encode(data).decode()]


def instructions(cmd):
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"]
        + cmd,
        capture_output=True,
        text=True,
        check=False,
    ).stderr
    return int(re.search(r"Collected : (\d+)", out).group(1))


# The environment a systemd service (a BMC daemon, and so the tool it starts)
# runs with. The loader's start-up work grows with the environment, for the
# tool and its floor alike, so ARM counts use this one on every machine.
SERVICE_ENV = {
    "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
    "LANG": "C.UTF-8",
    "INVOCATION_ID": "0123456789abcdef0123456789abcdef",
    "JOURNAL_STREAM": "8:12345",
    "SYSTEMD_EXEC_PID": "1234",
}


def arm_instructions(cmd, cpu, prefix=None):
    """Guest instructions that qemu-arm executes on CPU: single-stepped, every
    logged block is one instruction. Repeatable, like callgrind. PREFIX: the
    root whose loader and libraries the executable is built against."""
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "exec.log")
        root = ["-L", prefix] if prefix else []
        subprocess.run(
            ["qemu-arm", "-cpu", cpu]
            + root
            + ["-singlestep", "-d", "exec,nochain", "-D", log]
            + cmd,
            capture_output=True,
            check=False,
            env=SERVICE_ENV,
        )
        with open(log, errors="replace") as f:
            return sum(1 for line in f if line.startswith("Trace"))


def peak_kib(cmd):
    out = subprocess.run(
        ["/usr/bin/time", "-f", "peak %M"] + cmd,
        capture_output=True,
        text=True,
        check=False,
    ).stderr
    return int(re.search(r"peak (\d+)", out).group(1))


def wall_times(commands):
    """Mean seconds per command, all measured in one hyperfine run."""
    with tempfile.TemporaryDirectory() as tmp:
        report = os.path.join(tmp, "times.json")
        args = [
            "hyperfine",
            "-N",
            "--warmup",
            "5",
            "--min-runs",
            "100",
            "--style",
            "none",
            "--export-json",
            report,
        ]
        subprocess.run(
            args + [shlex.join(c) for c in commands],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        with open(report) as f:
            return [r["mean"] for r in json.load(f)["results"]]


def needed(path, readelf):
    out = subprocess.run(
        [readelf, "-d", path], capture_output=True, text=True, check=True
    ).stdout
    return (
        " ".join(re.findall(r"\(NEEDED\).*\[(.*)\]", out)) or "(none: static)"
    )


def code_bytes(path, readelf):
    """Bytes of the executable segment: what the code and read-only data
    take, which the file's size, padded to align its writable segment,
    may not show."""
    out = subprocess.run(
        [readelf, "-lW", path], capture_output=True, text=True, check=True
    ).stdout
    return sum(
        int(m, 16)
        for m in re.findall(r"LOAD(?:\s+\S+){3}\s+(\S+)\s+\S+\s+R E", out)
    )


def aligned(lines):
    """Markdown tables with their columns padded, as prettier writes them."""
    result, table = [], []
    for line in lines + [""]:
        if line.startswith("|"):
            table.append([c.strip() for c in line.strip("|").split("|")])
            continue
        if table:
            widths = [
                max(3, *(len(r[i]) for r in table))
                for i in range(len(table[0]))
            ]
            for n, row in enumerate(table):
                cells = []
                for i, cell in enumerate(row):
                    right = table[1][i].endswith(":")
                    if n == 1:
                        cell = "-" * (widths[i] - right) + ":" * right
                    cells.append(
                        cell.rjust(widths[i])
                        if right
                        else cell.ljust(widths[i])
                    )
                result.append("| " + " | ".join(cells) + " |")
            table = []
        result.append(line)
    return result[:-1]


def fmt_int(n):
    return f"{n:,}"


TYPICAL = [
    ("memory config, 2 CPUs", sample("01-memory-config")),
    ("mirror info, 1 entry", sample("03-mirror-info")),
    ("PPR info, 2 entries", sample("04-ppr-info")),
    ("memory error log", sample("06-memory-error-log")),
    ("rejected: bad base64", ["3", "QUJ"]),
    ("rejected: unknown code", ["7", "QUJD"]),
]


def options():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", required=True, help="default (dynamic) build")
    ap.add_argument("--tool-static", required=True)
    ap.add_argument("--floor-c", required=True)
    ap.add_argument("--floor-cpp", required=True)
    ap.add_argument("--with-arg-file", required=True)
    ap.add_argument(
        "--arm",
        action="append",
        default=[],
        help="LABEL=TOOL=FLOOR=CPU[=ROOT]: an ARM executable, an empty C "
        "program built alike, the core, and the root filesystem of the "
        "toolchain that built them",
    )
    ap.add_argument(
        "--work",
        action="append",
        default=[],
        help="LABEL=TOOL=UNCONFINED=FLOOR=CPU: a release file, the same "
        "without its sandbox, the same-work C floor built alike, the core",
    )
    ap.add_argument(
        "--without",
        action="append",
        default=[],
        help="LABEL=ARMV5TE=ARMV7: the dynamic release files with a hardening "
        "option undone",
    )
    ap.add_argument(
        "--size",
        action="append",
        default=[],
        help="LABEL=PATH=READELF of a stripped executable",
    )
    return ap.parse_args()


def instructions_table(out, opts):
    """Callgrind's counts against the floors; answers the worst ratios and
    the empty C++ program's count."""
    floors = [
        ("empty C program", [opts.floor_c]),
        ("empty C++ program (libstdc++ loaded)", [opts.floor_cpp]),
        ("/bin/true", ["/bin/true"]),
    ]
    floor_ir = {name: instructions(cmd) for name, cmd in floors}
    cpp_floor = floor_ir["empty C++ program (libstdc++ loaded)"]
    true_floor = floor_ir["/bin/true"]
    out("## Instructions per run (callgrind)")
    out("")
    out(
        "The x86-64 builds without the sandbox: its filter kills valgrind's "
        "own calls."
    )
    out("")
    out("| run | default build | x empty C++ | static build | x /bin/true |")
    out("|---|---:|---:|---:|---:|")
    worst_dyn = worst_static = 0.0
    for name, args in TYPICAL:
        dyn = instructions([opts.tool] + args)
        sta = instructions([opts.tool_static] + args)
        worst_dyn = max(worst_dyn, dyn / cpp_floor)
        worst_static = max(worst_static, sta / true_floor)
        out(
            f"| {name} | {fmt_int(dyn)} | {dyn / cpp_floor:.3f} | "
            f"{fmt_int(sta)} | {sta / true_floor:.3f} |"
        )
    for name, _ in floors:
        out(
            f"| floor: {name} | {fmt_int(floor_ir[name])} | "
            f"{floor_ir[name] / cpp_floor:.3f} | | |"
        )
    return worst_dyn, worst_static, cpp_floor


def arm_table(out, opts):
    """The ARM files against an empty C program; answers the worst ratios,
    over all and for the unstable toolchain's build."""
    out("")
    out("## Instructions per run on the BMC cores (qemu-arm, single-stepped)")
    out("")
    out(
        "The dynamic release files against an empty C program built with the "
        "same compiler and hardening, both started with a systemd service's "
        "environment; and the ARMv7 release configuration as Debian "
        "unstable's toolchain builds it (GCC 16, fmt 11), with its floor, run "
        "with that release's loader and C library."
    )
    out("")
    # label, tool, floor, core, root (None: the build machine's libraries)
    arms = [(entry.split("=") + [None])[:5] for entry in opts.arm]
    out(
        "| run | "
        + " | ".join(f"{label} | x empty C" for label, *_ in arms)
        + " |"
    )
    out("|---|" + "---:|---:|" * len(arms))
    arm_floors = [
        arm_instructions([floor], cpu, root) for _, _, floor, cpu, root in arms
    ]
    worst_arm = worst_unstable = 0.0
    for name, args in TYPICAL:
        cells = []
        for (_, tool, _, cpu, root), floor_count in zip(arms, arm_floors):
            count = arm_instructions([tool] + args, cpu, root)
            worst_arm = max(worst_arm, count / floor_count)
            if root:
                worst_unstable = max(worst_unstable, count / floor_count)
            cells.append(f"{fmt_int(count)} | {count / floor_count:.3f}")
        out(f"| {name} | " + " | ".join(cells) + " |")
    out(
        "| floor: empty C program | "
        + " | ".join(f"{fmt_int(n)} | 1.000" for n in arm_floors)
        + " |"
    )
    return worst_arm, worst_unstable


def work_floor_table(out, opts):
    """Each typical run against a C program that does the same work, with
    and without the sandbox; answers the worst ratio to that floor and the
    sandbox's worst cost."""
    out("")
    out("## Against the same work in C, with and without the sandbox")
    out("")
    out(
        "`bench/floor_work.c` takes the same arguments and prints the same "
        "summary and log entry, with `snprintf`, `gmtime_r` and `strftime`, "
        "built with the same compiler and hardening. The release files as "
        "shipped, and built again with `-Dsandbox=false`. qemu-user refuses "
        "the filter, so the counts hold what the tool does to install it, "
        "not the kernel's checks on each call."
    )
    out("")
    works = [entry.split("=") for entry in opts.work]
    out(
        "| run | "
        + " | ".join(
            f"{label} | x same work | unconfined | sandbox"
            for label, *_ in works
        )
        + " |"
    )
    out("|---|" + "---:|---:|---:|---:|" * len(works))
    worst_ratio = worst_cost = 0.0
    for name, args in TYPICAL:
        cells = []
        for _, tool, unconfined, floor, cpu in works:
            count = arm_instructions([tool] + args, cpu)
            free = arm_instructions([unconfined] + args, cpu)
            work = arm_instructions([floor] + args, cpu)
            worst_ratio = max(worst_ratio, count / work)
            worst_cost = max(worst_cost, count / free - 1)
            cells.append(
                f"{fmt_int(count)} | {count / work:.3f} | {fmt_int(free)} | "
                f"{100 * (count / free - 1):+.2f} %"
            )
        out(f"| {name} | " + " | ".join(cells) + " |")
    out("")
    out(
        f"Worst typical run: {worst_ratio:.3f} x the same work in C; the "
        f"sandbox's worst cost: {100 * worst_cost:+.2f} %."
    )
    return worst_cost


def hardening_table(out, opts):
    out("")
    out("## What each hardening option costs")
    out("")
    out(
        "The dynamic release files, and each built again with one of the "
        "OpenSSF guide's options that the release adds undone: the stripped "
        "file's bytes, its code's (the executable segment: the file pads its "
        "writable segment to a page boundary for RELRO, which can hide a "
        "change), and instructions to decode a memory configuration."
    )
    out("")
    out(
        "| release file | ARMv5TE file | code | on arm926 "
        "| ARMv7 file | code | on cortex-a7 |"
    )
    out("|---|---:|---:|---:|---:|---:|---:|")
    config = sample("01-memory-config")
    shipped = [entry.split("=")[1] for entry in opts.arm[:2]]
    for label, v5, v7 in [("as released", *shipped)] + [
        ("without " + e.split("=", 1)[0], *e.split("=", 1)[1].rsplit("=", 1))
        for e in opts.without
    ]:
        cells = []
        for path, cpu, readelf in (
            (v5, "arm926", "arm-linux-gnueabi-readelf"),
            (v7, "cortex-a7", "arm-linux-gnueabihf-readelf"),
        ):
            cells.append(os.path.getsize(path))
            cells.append(code_bytes(path, readelf))
            cells.append(arm_instructions([path] + config, cpu))
        out(f"| {label} | " + " | ".join(fmt_int(c) for c in cells) + " |")


def scaling_table(out, opts):
    """Answers (entries, instructions) of each PPR record and the largest
    one's peak resident KiB."""
    out("")
    out("## Scaling (default build)")
    out("")
    out("| record | base64 characters | instructions | peak resident KiB |")
    out("|---|---:|---:|---:|")
    scaling = []
    for entries in (0, 1000, 4000, 12286):
        args = ppr(entries)
        ir = instructions([opts.tool] + args)
        scaling.append((entries, ir))
        out(
            f"| PPR, {entries} entries | {len(args[1])} | {fmt_int(ir)} | "
            f"{peak_kib([opts.tool] + args)} |"
        )
    args = mirror(6143)
    out(
        f"| mirror, 6143 entries | {len(args[1])} | "
        f"{fmt_int(instructions([opts.tool] + args))} | "
        f"{peak_kib([opts.tool] + args)} |"
    )
    return scaling, peak_kib([opts.tool] + ppr(12286))


def wall_table(out, opts):
    """Hyperfine's means; answers the peers' ratios to the tool."""
    out("")
    out("## Wall time (hyperfine; ratios to /bin/true, and peer / tool)")
    out("")
    small = sample("04-ppr-info")

    def pipeline(args):
        return [
            "sh",
            "-c",
            f"echo {args[1]} | base64 -d | od -An -tu4 >/dev/null",
        ]

    def python(args):
        return ["python3", os.path.join(HERE, "peer_decode.py")] + args

    small_cmds = [
        ("/bin/true", ["/bin/true"]),
        ("empty C program", [opts.floor_c]),
        ("empty C++ program", [opts.floor_cpp]),
        ("tool, PPR 2 entries", [opts.tool] + small),
        ("static tool, PPR 2 entries", [opts.tool_static] + small),
        ("shell pipeline, PPR 2 entries", pipeline(small)),
        ("Python 3, PPR 2 entries", python(small)),
    ]
    t = dict(
        zip([n for n, _ in small_cmds], wall_times([c for _, c in small_cmds]))
    )

    # A 128 KiB argument cannot pass through hyperfine's own command line:
    # with_arg_file reads it from a file and execs the command; that costs
    # one more exec, measured with /bin/true and taken off each side.
    with tempfile.NamedTemporaryFile("w", suffix=".b64", delete=False) as f:
        f.write(ppr(12286)[1])
    wrap = [opts.with_arg_file, f.name]
    large_cmds = [
        (
            "with_arg_file + /bin/true, 128 KiB (floor)",
            wrap + ["/bin/true", "@"],
        ),
        ("tool, PPR 12286 entries", wrap + [opts.tool, "2", "@"]),
        (
            "shell pipeline, PPR 12286 entries",
            wrap
            + [
                "sh",
                "-c",
                'echo "$1" | base64 -d | od -An -tu4 >/dev/null',
                "sh",
                "@",
            ],
        ),
        ("Python 3, PPR 12286 entries", wrap + python(["2", "@"])),
    ]
    t.update(
        zip([n for n, _ in large_cmds], wall_times([c for _, c in large_cmds]))
    )
    os.unlink(f.name)

    out("| command | mean ms | x /bin/true |")
    out("|---|---:|---:|")
    for name, mean in t.items():
        out(f'| {name} | {mean * 1000:.3f} | {mean / t["/bin/true"]:.2f} |')
    floor = t["with_arg_file + /bin/true, 128 KiB (floor)"]
    tool_large = t["tool, PPR 12286 entries"] - floor
    small_tool = t["tool, PPR 2 entries"]
    small_pipe = t["shell pipeline, PPR 2 entries"]
    peers = {
        "shell pipeline / tool, small": small_pipe / small_tool,
        "Python 3 / tool, small": t["Python 3, PPR 2 entries"] / small_tool,
        "shell pipeline / static tool, small": small_pipe
        / t["static tool, PPR 2 entries"],
        # No one-process tool can start faster than /bin/true: the ceiling.
        "shell pipeline / /bin/true, small (ceiling for any tool)": small_pipe
        / t["/bin/true"],
        "shell pipeline / tool, large": (
            t["shell pipeline, PPR 12286 entries"] - floor
        )
        / tool_large,
        "Python 3 / tool, large": (t["Python 3, PPR 12286 entries"] - floor)
        / tool_large,
    }
    out("")
    out("Peer / tool (large: the with_arg_file floor taken off each side):")
    out("")
    for name, ratio in peers.items():
        out(f"- {name}: {ratio:.1f} x")
    return peers


def sizes_table(out, opts):
    """Answers each executable's stripped size by label."""
    out("")
    out("## Executable sizes (stripped)")
    out("")
    out("| executable | bytes | KiB | needs |")
    out("|---|---:|---:|---|")
    sizes = {}
    for entry in opts.size:
        label, path, readelf = entry.split("=")
        size = os.path.getsize(path)
        sizes[label] = size
        out(
            f"| {label} | {size} | {size / 1024:.1f} | "
            f"{needed(path, readelf)} |"
        )
    return sizes


def targets(out, checks, peers):
    out("")
    out("## Targets")
    out("")
    for text, met in checks:
        out(f'- {"met" if met else "MISSED"}: {text}')
    ceiling = peers["shell pipeline / /bin/true, small (ceiling for any tool)"]
    if ceiling < 5:
        out("")
        out(
            f"On a small record the shell pipeline takes only {ceiling:.1f} x "
            "the time of `/bin/true` here: it starts three processes (sh, "
            "base64, od) where the tool starts one, and the record itself "
            "costs next to nothing. So no one-process tool can be 5 x faster "
            "on this machine; the static build comes closest."
        )


def plot(scaling, cpp_floor):
    path = os.path.join(HERE, "ppr-instructions.png")
    with tempfile.NamedTemporaryFile("w", suffix=".dat", delete=False) as dat:
        for entries, ir in scaling:
            dat.write(f"{entries} {ir / 1e6}\n")
    script = (
        f"set terminal png size 720,420; set output '{path}';"
        "set title 'Instructions per run against PPR entry count "
        "(default build)';"
        "set xlabel 'PPR entries'; set ylabel 'million instructions'; "
        "set grid; set yrange [0:*]; set key left top; "
        f"plot '{dat.name}' using 1:2 with linespoints lw 2 pt 7 "
        f"title 'qorv\\_raw\\_data\\_parser', {cpp_floor / 1e6} "
        "title 'empty C++ program' lw 2"
    )
    subprocess.run(["gnuplot", "-e", script], check=True)
    os.unlink(dat.name)


def write_results(table):
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    gxx = subprocess.run(
        ["g++", "--version"], capture_output=True, text=True
    ).stdout.splitlines()[0]
    with open(os.path.join(HERE, "RESULTS.md"), "w") as f:
        f.write(
            "<!--\nSPDX-FileCopyrightText: The qorv_raw_data_parser "
            "contributors\nSPDX-License-Identifier: Apache-2.0\n-->\n\n"
            "# Benchmark results\n\n"
        )
        f.write(
            f"Made by `bench/run` on {datetime.date.today()}: "
            f"{platform.machine()}, {cpu}, {os.cpu_count()} cores; {gxx}; "
            f"{platform.platform()}.\n\n"
        )
        f.write(table + "\n\n")
        f.write(
            "![Instructions against PPR entry count](ppr-instructions.png)\n"
        )


def main():
    opts = options()
    lines = []
    out = lines.append
    worst_dyn, worst_static, cpp_floor = instructions_table(out, opts)
    worst_arm, worst_unstable = arm_table(out, opts)
    sandbox_cost = work_floor_table(out, opts)
    hardening_table(out, opts)
    scaling, big_rss = scaling_table(out, opts)
    big_ir = scaling[-1][1]
    peers = wall_table(out, opts)
    sizes = sizes_table(out, opts)

    # The BMC release files: dynamic ones at most 32 KiB, static 800 KiB.
    size_checks = [
        (
            f"{label} <= {limit} KiB ({size / 1024:.1f} KiB)",
            0 < size <= limit * 1024,
        )
        for label, size in sizes.items()
        if label.startswith("ARM")
        for limit in [800 if label.endswith("static") else 32]
    ]
    pipe_small = peers["shell pipeline / tool, small"]
    pipe_large = peers["shell pipeline / tool, large"]
    python_small = peers["Python 3 / tool, small"]
    python_large = peers["Python 3 / tool, large"]
    checks = [
        (
            f"typical run <= 1.10 x empty C++ (worst {worst_dyn:.3f})",
            worst_dyn <= 1.10,
        ),
        (
            f"static typical run <= /bin/true (worst {worst_static:.3f} x)",
            worst_static <= 1.0,
        ),
        (
            "ARM typical run <= 1.40 x empty C built alike "
            f"(worst {worst_arm:.3f})",
            worst_arm <= 1.40,
        ),
        (
            "ARM, Debian unstable's toolchain: typical run <= 1.30 x empty "
            f"C built alike (worst {worst_unstable:.3f})",
            worst_unstable <= 1.30,
        ),
        (
            "ARM: the sandbox costs <= 1 % of a typical run's instructions "
            f"(worst {100 * sandbox_cost:+.2f} %)",
            sandbox_cost <= 0.01,
        ),
        (
            f"12286-entry PPR < 4,000,000 instructions ({fmt_int(big_ir)})",
            big_ir < 4_000_000,
        ),
        (
            f"12286-entry PPR < 8 MiB peak resident ({big_rss} KiB)",
            big_rss < 8192,
        ),
        (
            ">= 5 x faster than the shell pipeline "
            f"(small {pipe_small:.1f}, large {pipe_large:.1f})",
            min(pipe_small, pipe_large) >= 5,
        ),
        (
            ">= 10 x faster than Python 3 "
            f"(small {python_small:.1f}, large {python_large:.1f})",
            min(python_small, python_large) >= 10,
        ),
    ] + size_checks
    targets(out, checks, peers)

    table = "\n".join(aligned(lines))
    print(table)
    plot(scaling, cpp_floor)
    write_results(table)


if __name__ == "__main__":
    main()
