# SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
# SPDX-License-Identifier: Apache-2.0
# Shared by the scripts: package sets and their installer, build directories, other Debian releases.
# shellcheck shell=bash

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
roots=${QORV_ROOT_CACHE:-/var/cache/qorv_raw_data_parser}

declare -A package_sets=(
    [build]="g++ meson ninja-build pkgconf libfmt-dev libgtest-dev git binutils"
    [cross]="qemu-user g++-arm-linux-gnueabi g++-arm-linux-gnueabihf g++-s390x-linux-gnu
        libfmt-dev:armel libgtest-dev:armel libfmt-dev:armhf libgtest-dev:armhf
        libfmt-dev:s390x libgtest-dev:s390x"
    [release]="python3 dpkg-dev checksec"
    [test]="clang libclang-rt-14-dev shellcheck reuse reprotest diffoscope-minimal"
    [roots]="mmdebstrap bubblewrap"
    # A real ARM kernel (tools/kernel).
    [kernel]="qemu-system-arm cpio device-tree-compiler"
    [bench]="gcc valgrind hyperfine gnuplot-nox time"
    # Other Debian releases' root filesystems (debian_root), and what each adds.
    [root]="g++ clang meson ninja-build pkgconf git dpkg-dev binutils libfmt-dev libgtest-dev
        g++-arm-linux-gnueabihf libfmt-dev:armhf libgtest-dev:armhf qemu-user"
    [root-trixie]="python3-cyclonedx-lib python3-jsonschema python3-referencing"
    # And what the BMC firmware community's CI runs (tools/field).
    [root-unstable]="g++-15 clang-21 clang-tidy-21 clang-format-21 lld-21 valgrind libc6-dbg gcovr
        black flake8 isort codespell gitlint shellcheck python3-yaml"
)
# needs SET...: installs each SET's missing packages; apt's output goes to build-packages.log, its errors name
# what cannot be had. Lists that fail to load in part (a mirror mid-sync) do not stop it.
needs() {
    local set pkg missing=() log=$top/build-packages.log
    for set; do
        for pkg in ${package_sets[$set]}; do
            dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
        done
    done
    [ ${#missing[@]} -ne 0 ] || return 0
    printf '%s\n' "${missing[@]}" | sed -n 's/.*://p' | sort -u | xargs -rn1 dpkg --add-architecture
    echo "packages: installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update >>"$log" 2>&1 || echo "packages: some package lists failed to load" >&2
    apt-get -o DPkg::Lock::Timeout=300 install -y --no-install-recommends "${missing[@]}" >>"$log" 2>&1 &&
        return
    grep -E '^E:' "$log" | tail -n 5 >&2
    echo "packages: cannot install what is missing (log: $log)" >&2
    return 1
}

# setup_build DIR MESON-SETUP-ARG...: configures DIR afresh; its output in
# DIR.setup.log, shown when it fails.
setup_build() {
    rm -rf "$1"
    meson setup "$@" >"$1.setup.log" 2>&1 || { cat "$1.setup.log" >&2; return 1; }
}

# build_release DIR TARGET [MESON-OPTION...]: prints the path of a release file
# for the cross TARGET; DIR/link.map is for the bill of materials.
build_release() {
    setup_build "$1" "$top" --cross-file "$top/cross/$2.ini" --buildtype=minsize -Db_ndebug=true \
        -Dtests=disabled -Dwerror=true -Dcpp_link_args="-Wl,-Map=$1/link.map" "${@:3}" &&
        ninja -C "$1" >/dev/null && DESTDIR="$1/dest" meson install -C "$1" --strip --quiet >/dev/null &&
        echo "$1/dest/usr/local/bin/qorv_raw_data_parser"
}

# meson_tests DIR ARG...: meson test ARG... in DIR, then the tests it passed and failed, GoogleTest's one by one
# (from meson's JUnit log); a run that failed with no test failing (valgrind's own finding, say) counts one.
meson_tests() {
    local status=0 log=testlog tool=${QORV_TOOL:-}
    [ "${2:-}" != --setup ] || log=testlog-$3
    meson test -C "$1" --print-errorlogs "${@:2}" || status=$?
    python3 -c 'import sys, xml.etree.ElementTree as t
ran = [c for c in t.parse(sys.argv[1]).iter("testcase") if c.get("status") != "notrun" and not
       c.findall("skipped")]
failed = len([c for c in ran if c.findall("failure") or c.findall("error")])
failed = max(failed, sys.argv[3] != "0")
print(f"tests: {len(ran) - failed} passed, {failed} failed ({sys.argv[2]})")' \
        "$1/meson-logs/$log.junit.xml" "${1##*/} ${*:2} ${tool##*/}" $status || status=1
    return $status
}

# debian_root SUITE: Debian's SUITE with the toolchain, made by mmdebstrap
# unless the cache has it with these packages; prints its path. Delete it to
# take newer packages.
debian_root() {
    local dir=$roots/$1 pkg want
    want=$(dpkg --print-architecture),armhf
    for pkg in ${package_sets[root]} ${package_sets[root-$1]:-}; do want+=" $pkg"; done
    mkdir -p "${dir%/*}"
    # One at a time: tools/test's suites ask for roots at once.
    (
        flock 9
        [ "$(cat "$dir/.qorv-packages" 2>/dev/null)" != "$want" ] || exit 0
        rm -rf "$dir" "$dir.new" && mkdir -p "$dir.new"
        # unstable's Release file may be past its Valid-Until on a mirror.
        mmdebstrap --variant=apt --architectures="${want%% *}" --include="${want#* }" --dpkgopt=force-unsafe-io \
            --aptopt='Acquire::Check-Valid-Until "false"' "$1" "$dir.new" >"$dir.log" 2>&1 || {
            grep -E '^E:' "$dir.log" | tail -n 5 && echo "cannot make the $1 root (log: $dir.log)"
            exit 1
        } >&2
        echo "$want" >"$dir.new/.qorv-packages" && mv "$dir.new" "$dir"
    ) 9>"$dir.lock" || return 1
    echo "$dir"
}

# npm_tools: the field's prettier and markdownlint, once, with this machine's npm (Debian's adds 350 packages to
# a root), for in_root's /opt/qorv-npm.
npm_tools() {
    local pins="prettier@3.10.2 markdownlint-cli@0.50.0"
    # shellcheck disable=SC2086 # the pins are words
    [ "$(cat "$roots/npm/.pins" 2>/dev/null)" = "$pins" ] || { npm install -g --prefix "$roots/npm" $pins \
        >"$roots/npm.log" 2>&1 && echo "$pins" >"$roots/npm/.pins"; } || { tail -n 5 "$roots/npm.log" >&2; return 1; }
}

# in_root ROOT COMMAND [ARG...]: runs COMMAND in ROOT, this checkout at /src, read-only; with
# this machine's certificate authorities, which a proxy on the way to a package registry may need.
in_root() {
    bwrap --bind "$1" / --ro-bind "$top" /src --proc /proc --dev /dev --clearenv \
        --ro-bind-try /etc/ssl/certs/ca-certificates.crt /etc/ssl/certs/ca-certificates.crt \
        --ro-bind-try "$roots/npm" /opt/qorv-npm --ro-bind-try /usr/bin/node /usr/bin/node \
        --setenv PATH /usr/sbin:/usr/bin:/sbin:/bin --setenv HOME /root --setenv LC_ALL C.UTF-8 "${@:2}"
}
