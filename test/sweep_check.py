#!/usr/bin/env python3
# SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
# SPDX-License-Identifier: Apache-2.0
"""Hold a sweep of every system call number to the README's table.

sweep_check.py README -- COMMAND...   runs COMMAND, a tool with
                                      planted_fault.so and QORV_PLANTED=sweep
sweep_check.py README --log FILE      reads the sweep's lines from FILE

The calls the sweep found not killed must be the table's calls whose last
column does not say "killed", less those this target lacks; a call the
kernel passes by every filter may be found or not. Exits 77 (skipped) where
the sweep cannot run: no filter, or no namespaces to run it in.
"""

import re
import subprocess
import sys

SKIPPED = 77


def table(readme):
    """(must not be killed, may be either, must be killed) from the table."""
    section = readme.split("### The sandbox", 1)[1].split("\n#", 1)[0]
    allowed, either, killed = set(), set(), set()
    for row in re.findall(r"^\|(.*)\|\s*$", section, re.M):
        cells = [cell.strip() for cell in row.split("|")]
        names = re.findall(r"`([a-z_0-9]+)`", cells[0])
        if not names or cells[0].startswith("call"):
            continue
        verdict = cells[-1]
        group = (
            killed
            if verdict.startswith("killed")
            else (
                either
                if verdict.startswith("passed by the kernel")
                else allowed
            )
        )
        group.update(names)
    return allowed, either, killed


def check(readme, lines):
    allowed, either, killed = table(readme)
    found = {
        m.group(1)
        for m in (re.search(r"not killed: (\S+)", x) for x in lines)
        if m
    }
    absent = set()
    for line in lines:
        if "sweep: absent here:" in line:
            absent.update(line.split("sweep: absent here:", 1)[1].split())
    summary = [line for line in lines if "sweep: made" in line]
    problems = []
    if not summary:
        problems.append("the sweep did not end")
    for name in sorted(found - allowed - either):
        problems.append(f"not killed, and not in the table as such: {name}")
    for name in sorted(allowed - absent - found):
        problems.append(f"in the table, but killed: {name}")
    for name in sorted(absent - allowed - either - killed):
        problems.append(f"absent here, and not in the table: {name}")
    for line in lines:
        print(line)
    for problem in problems:
        print(f"sweep: MUST MATCH THE README: {problem}")
    if not problems:
        print(
            f"sweep: matches the README's table ({len(found)} calls not killed)"
        )
    return 1 if problems else 0


def main(argv):
    readme = open(argv[1], encoding="utf-8").read()
    if argv[2] == "--log":
        lines = (
            open(argv[3], encoding="utf-8", errors="replace")
            .read()
            .splitlines()
        )
        return check(readme, [line for line in lines if "sweep:" in line])
    run = subprocess.run(argv[3:], capture_output=True, text=True, check=False)
    lines = run.stdout.splitlines()
    if "the kernel takes no system call filter here" in run.stdout:
        print("skipped: the kernel takes no system call filter here")
        return SKIPPED
    if run.returncode != 0 and not lines:
        print(f"skipped: cannot run the sweep here: {run.stderr.strip()}")
        return SKIPPED
    return check(readme, lines)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
