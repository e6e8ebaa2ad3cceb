#!/usr/bin/env python3
# SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
# SPDX-License-Identifier: Apache-2.0
"""tools/bom.py DIST VERSION-HPP DATE NAME:TARGET:KIND:BUILD-DIR...: the bill of
materials (CycloneDX 1.6), NOTICE and licence texts of the release files DIST/NAME
(README: Releasing). Depends on the files, VERSION-HPP and DATE only."""

import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
import uuid
from pathlib import Path

PROJECT = "qorv_raw_data_parser"
TOP = str(Path(__file__).resolve().parent.parent)
GCC_RT = "GPL-3.0-or-later WITH GCC-exception-3.1"
# Licences by Debian source package, as its copyright file gives them for the
# parts that end up in an executable (fmt's: "Expat with embedded exception").
LICENCES = [
    (r"fmtlib", "MIT"),
    (r"gcc-\d+(-cross)?", GCC_RT),
    (r"glibc|cross-toolchain-base", "LGPL-2.1-or-later"),
]
TEXTS = {
    "Apache-2.0": f"{TOP}/LICENSES/Apache-2.0.txt",
    "LGPL-2.1-or-later": "/usr/share/common-licenses/LGPL-2.1",
    "GPL-3.0-or-later": "/usr/share/common-licenses/GPL-3",
}
# Libraries a dynamic file may need at run time: soname, project, licence, symbol version prefix.
RUNTIME = [
    (
        r"libc\.so\.6|libm\.so\.6|ld-linux[-a-z0-9]*\.so\.\d",
        "glibc",
        "LGPL-2.1-or-later",
        "GLIBC",
    ),
    (r"libgcc_s\.so\.1", "libgcc", GCC_RT, "GCC"),
    (r"libstdc\+\+\.so\.6", "libstdc++", GCC_RT, "GLIBCXX"),
]


def run(*cmd):
    return subprocess.run(
        cmd, check=True, capture_output=True, text=True
    ).stdout


def props(*pairs):
    return [
        {"name": f"{PROJECT}:{key}", "value": value} for key, value in pairs
    ]


def prop(entry, key):
    return next(
        (
            p["value"]
            for p in entry["properties"]
            if p["name"] == f"{PROJECT}:{key}"
        ),
        None,
    )


def owners(paths, arch):
    """The Debian package that installed each of PATHS; of a multi-arch
    package, the target's. One query for all: each takes a fifth of a second
    to read dpkg's database, and a file has some sixty paths."""
    real = [os.path.realpath(p) for p in paths]
    found = {}
    for line in run("dpkg-query", "-S", *real).splitlines():
        packages, _, path = line.partition(": ")
        if not packages.startswith("diversion by "):
            found[path] = packages.split(", ")
    return [
        next(
            (p for p in found[r] if p.endswith(":" + arch) or ":" not in p),
            found[r][0],
        )
        for r in real
    ]


def component(ref, package, how, details):
    fields = "Package Version source:Package source:Version Built-Using Architecture".split()
    name, version, source, source_version, built_using, arch = run(
        "dpkg-query",
        "-W",
        "-f",
        "\t".join(f"${{{f}}}" for f in fields),
        package,
    ).split("\t")
    licence = next((l for p, l in LICENCES if re.fullmatch(p, source)), None)
    if licence is None:
        sys.exit(
            f"bom: no licence known for {package} (source package {source})"
        )
    glibc = re.search(r"\bglibc \(= ([^)]+)\)", built_using)
    return {
        "type": "library",
        "bom-ref": ref,
        "name": name,
        "version": version,
        "purl": f"pkg:deb/debian/{name}@{version}?arch={arch}",
        "licenses": [{"expression": licence}],
        "properties": props(
            ("how", how),
            ("source-package", f"{source} {source_version}"),
            *(
                [("glibc-source-package", f"glibc {glibc.group(1)}")]
                if glibc
                else []
            ),
            *[("part", d) for d in details],
        ),
    }


def describe(dist, name, target, build_dir):
    """The components of one release file."""
    arch, path, parts = (
        "armhf" if target.endswith("hf") else "armel",
        f"{dist}/{name}",
        [],
    )
    # Files outside the tree with line entries at an address: the linker zeroes
    # those of dropped code.
    headers, current = set(), None
    for line in run(
        f"{target}-objdump",
        "--dwarf=decodedline",
        f"{dist}/debug/{name}.debug",
    ).splitlines():
        if line.endswith(":") and line.startswith("/"):
            current = os.path.normpath(line[:-1])
        elif current and re.search(r"\s0x0*[1-9a-f][0-9a-f]*\b", line):
            headers.add(current)
    headers = sorted(h for h in headers if not h.startswith(TOP))
    # Objects and archive members from outside the build that the link took.
    link_map, inputs = Path(build_dir, "link.map").read_text(), {}
    members = link_map.split(
        "Archive member included to satisfy reference by file (symbol)"
    )[1]
    for archive, member in re.findall(
        r"^(/\S+)\(([^)]+)\)$", re.split(r"\n\n[A-Z]", members)[0], re.M
    ):
        inputs.setdefault(os.path.normpath(archive), []).append(member)
    for obj in re.findall(r"^LOAD (/\S+\.o)$", link_map, re.M):
        if not obj.startswith(os.path.abspath(build_dir)):
            inputs.setdefault(os.path.normpath(obj), [])
    objects = sorted(inputs.items())
    packages = owners(headers + [obj for obj, _ in objects], arch)
    parts += [
        (package, "compiled in", h) for package, h in zip(packages, headers)
    ]
    parts += [
        (
            package,
            "linked in",
            os.path.basename(obj)
            + (f' ({", ".join(sorted(taken))})' if taken else ""),
        )
        for package, (obj, taken) in zip(packages[len(headers) :], objects)
    ]
    components = [
        component(
            f'{name}/{p.split(":")[0]}',
            p,
            " and ".join(sorted({h for q, h, _ in parts if q == p})),
            [d for q, _, d in parts if q == p],
        )
        for p in sorted({p for p, _, _ in parts})
    ]

    # The BMC image's libraries: only the oldest version with every symbol used is known.
    needed = re.findall(
        r"\(NEEDED\).*\[(.*)\]", run(f"{target}-readelf", "-dW", path)
    )
    unknown = [
        s for s in needed if not any(re.fullmatch(r[0], s) for r in RUNTIME)
    ]
    if unknown:
        sys.exit(f"bom: {name} needs {unknown[0]}, a library not known here")
    versions = run(f"{target}-readelf", "-V", path)
    for pattern, library, licence, prefix in RUNTIME:
        sonames = [s for s in needed if re.fullmatch(pattern, s)]
        oldest = max(
            re.findall(rf"Name: {prefix}_([0-9.]+)", versions),
            default=None,
            key=lambda v: [int(n) for n in v.split(".")],
        )
        components += (
            [
                {
                    "type": "library",
                    "bom-ref": f"{name}/{library}",
                    "name": library,
                    "version": (
                        f"{prefix}_{oldest} or later" if oldest else "any"
                    ),
                    "scope": "required",
                    "licenses": [{"expression": licence}],
                    "properties": props(
                        ("how", "required at run time"),
                        *[("needed", s) for s in sonames],
                    ),
                }
            ]
            if sonames
            else []
        )

    compiler = owners([shutil.which(f"{target}-g++")], arch)[0]
    gcc = re.findall(
        r"GCC: .*", run(f"{target}-readelf", "-p", ".comment", path)
    )
    return components + [
        component(
            f'{name}/{compiler.split(":")[0]}', compiler, "built the file", gcc
        )
        | {
            "type": "application",
            "scope": "excluded",
            "licenses": [{"expression": "GPL-3.0-or-later"}],
        }
    ]


def notice_of(name, digest, version, commit, components, kind):
    """NAME's part of the notice: what applies to it, and how to relink it."""
    lines = [
        f"{name} (SHA-256 {digest})",
        f"  {PROJECT} {version}: Apache-2.0",
    ]
    lines += [
        f'  {c["name"]} {c["version"]}, {prop(c, "how")}: {c["licenses"][0]["expression"]}'
        for c in components
        if c.get("scope") != "excluded"
    ]
    if kind == "static":
        glibc = next(
            (c for c in components if prop(c, "glibc-source-package")), None
        )
        if glibc is None:
            sys.exit(
                f"bom: {name} is static but links no C library from a known package"
            )
        lines += textwrap.wrap(
            "It contains the GNU C Library (LGPL-2.1-or-later) from Debian's "
            f'{glibc["name"]} {glibc["version"]}, built from the Debian source package '
            f'{prop(glibc, "glibc-source-package")}. To relink it with another build of the C '
            f"library (LGPL-2.1, section 6): check out commit {commit} of {PROJECT}, install "
            f'the changed C library in place of {glibc["name"]} and run tools/release, which '
            "builds this file again; with the unchanged library it gives the same bytes.",
            width=78,
            initial_indent="  ",
            subsequent_indent="  ",
            break_on_hyphens=False,
        )
    return lines + [""]


def main():
    dist, version_hpp, date = sys.argv[1:4]
    version, commit = re.findall(
        r'^#define QORVD_(?:VERSION|COMMIT) "(.*)"$',
        Path(version_hpp).read_text(),
        re.M,
    )
    files, notice = [], []
    for entry in sys.argv[4:]:
        name, target, kind, build_dir = entry.split(":")
        components = describe(dist, name, target, build_dir)
        digest = hashlib.sha256(Path(dist, name).read_bytes()).hexdigest()
        files.append(
            {
                "type": "application",
                "bom-ref": name,
                "name": name,
                "version": version,
                "hashes": [{"alg": "SHA-256", "content": digest}],
                "licenses": [{"expression": "Apache-2.0"}],
                "properties": props(
                    ("commit", commit), ("target", f"{target}, {kind}")
                ),
                "components": components,
            }
        )
        notice += notice_of(name, digest, version, commit, components, kind)
    shipped = [
        c
        for f in files
        for c in f["components"]
        if c.get("scope") != "excluded"
    ]
    bom = {
        "bomFormat": "CycloneDX",
        "specVersion": "1.6",
        "version": 1,
        # The same files give the same number.
        "serialNumber": uuid.uuid5(
            uuid.NAMESPACE_URL,
            f"{PROJECT}:{commit}:"
            + ":".join(f["hashes"][0]["content"] for f in files),
        ).urn,
        "metadata": {
            "timestamp": date,
            "component": {
                "type": "application",
                "bom-ref": PROJECT,
                "name": PROJECT,
                "version": version,
                "licenses": [{"expression": "Apache-2.0"}],
                "copyright": "The qorv_raw_data_parser contributors",
                "properties": props(("commit", commit)),
            },
        },
        "components": files,
        "dependencies": [
            {"ref": PROJECT, "dependsOn": [f["bom-ref"] for f in files]}
        ]
        + [
            {
                "ref": f["bom-ref"],
                "dependsOn": [
                    c["bom-ref"]
                    for c in f["components"]
                    if c.get("scope") != "excluded"
                ],
            }
            for f in files
        ],
    }
    Path(dist, f"{PROJECT}.cdx.json").write_text(
        json.dumps(bom, indent=1, sort_keys=True) + "\n"
    )

    # Every licence named, and the copyright file of every package whose parts ship.
    Path(dist, "licenses").mkdir(exist_ok=True)
    licences = {"Apache-2.0"} | {
        c["licenses"][0]["expression"] for c in shipped
    }
    texts = {
        spdx: f"licenses/{spdx}.txt"
        for spdx in TEXTS
        if any(licence.startswith(spdx) for licence in licences)
    }
    texts.update(
        {
            f'/usr/share/doc/{c["name"]}/copyright': f'licenses/{c["name"]}.copyright'
            for c in shipped
            if "purl" in c
        }
    )
    for source, copy in texts.items():
        shutil.copyfile(TEXTS.get(source, source), f"{dist}/{copy}")
    Path(dist, "NOTICE").write_text(
        f"{PROJECT} {version}, commit {commit}\nCopyright The qorv_raw_data_parser contributors. "
        "Licensed under the Apache License, Version 2.0.\n\nWhat each file contains of others, "
        "and under which licence (the bill of\nmaterials, qorv_raw_data_parser.cdx.json, says "
        "where each part comes from):\n\n"
        + "\n".join(notice)
        + "\nThe licence texts, and the "
        "copyright notices of the Debian packages the\nparts come from:\n"
        + "".join(f"  {t}\n" for t in sorted(texts.values()))
    )
    print("\n".join(sorted(texts.values())))


main()
