# SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
# SPDX-License-Identifier: Apache-2.0
# Shared by the tools/ scripts: install what is missing, once.
# shellcheck shell=bash

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Packages the native build and its tests need.
# shellcheck disable=SC2034 # used by the scripts that source this file
base_packages=(g++ meson ninja-build pkgconf libfmt-dev libgtest-dev)

apt_updated=false
# apt's and dpkg's own output: kept here, shown only when a step fails.
packages_log=$top/build-packages.log

# apt_get ARG...: apt-get without prompts, waiting for a lock that another
# apt (an unattended upgrade on a fresh machine) holds.
apt_get() {
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 "$@"
}

# package_step WHAT COMMAND...: runs COMMAND with its output in the packages
# log and prints one line, WHAT and how long it took; when it fails, also
# apt's errors (or the output's tail).
package_step() {
    local what=$1 start=$SECONDS output status=0
    shift
    output=$(mktemp)
    "$@" >"$output" 2>&1 || status=$?
    { echo "== $what"; cat "$output"; } >>"$packages_log"
    if [ $status -eq 0 ]; then
        echo "packages: $what ($((SECONDS - start)) s)" >&2
    else
        { grep -E '^(E|Err):' "$output" || tail -n 15 "$output"; } | tail -n 15 >&2
        echo "packages: $what failed ($((SECONDS - start)) s; log: $packages_log)" >&2
    fi
    rm -f "$output"
    return $status
}

# ensure_packages PKG...: installs those of PKG that are not installed yet.
# A failed or partial index update is reported, not fatal: mirrors are
# sometimes mid-sync and the lists that did load usually hold what is needed.
# Only a package that then cannot be installed stops the caller, by name.
ensure_packages() {
    local missing=() failed=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if ! $apt_updated; then
        package_step "update the package lists" apt_get update ||
            echo "packages: going on with the package lists that loaded" >&2
        apt_updated=true
    fi
    package_step "install ${missing[*]}" apt_get install -y --no-install-recommends "${missing[@]}" &&
        return 0
    # One at a time, to name what cannot be had.
    if [ ${#missing[@]} -eq 1 ]; then
        failed=("${missing[@]}")
    else
        for pkg in "${missing[@]}"; do
            package_step "install $pkg" apt_get install -y --no-install-recommends "$pkg" ||
                failed+=("$pkg")
        done
    fi
    [ ${#failed[@]} -eq 0 ] && return 0
    echo "cannot install: ${failed[*]}" >&2
    return 1
}

# ensure_foreign_arch ARCH: lets apt install ARCH's libraries beside ours.
ensure_foreign_arch() {
    if ! dpkg --print-foreign-architectures | grep -qx "$1"; then
        dpkg --add-architecture "$1"
        apt_updated=false
    fi
}

# setup_build DIR [MESON-OPTION...]: configures DIR afresh.
setup_build() {
    local dir=$1
    shift
    rm -rf "$dir"
    meson setup "$dir" "$@" >"$dir.setup.log" 2>&1 || {
        cat "$dir.setup.log" >&2
        return 1
    }
    rm -f "$dir.setup.log"
}

# Cross compilers, emulators and the targets' own fmt and GoogleTest: 32-bit
# ARM as ARMv5TE soft-float (armel) and ARMv7 hard-float (armhf), and
# big-endian s390x.
ensure_cross_packages() {
    local arch pkgs=(qemu-user g++-arm-linux-gnueabi g++-arm-linux-gnueabihf g++-s390x-linux-gnu)
    for arch in armel armhf s390x; do
        ensure_foreign_arch "$arch"
        pkgs+=("libfmt-dev:$arch" "libgtest-dev:$arch")
    done
    ensure_packages "${pkgs[@]}"
}

# build_release DIR TARGET [MESON-OPTION...]: the size-optimised, stripped,
# hardened executable for the cross TARGET (a file in cross/); prints its path.
# The link map (DIR/link.map) says what was linked in, for the bill of
# materials; it changes nothing in the executable.
build_release() {
    local dir=$1 target=$2
    setup_build "$dir" "$top" --cross-file "$top/cross/$target.ini" --buildtype=minsize \
        -Db_ndebug=true -Dhardening=true -Dtests=disabled -Dwerror=true \
        -Dcpp_link_args="-Wl,-Map=$dir/link.map" "${@:3}"
    ninja -C "$dir" >/dev/null
    DESTDIR="$dir/dest" meson install -C "$dir" --strip --quiet >/dev/null
    echo "$dir/dest/usr/local/bin/qorv_raw_data_parser"
}

# source_ident: the line an executable built from this tree carries in its
# .comment section (see meson.build): the version and the commit, as git
# describes it at build time ("-modified" for a changed tree).
source_ident() {
    local version commit
    version=$(sed -n "s/^ *version: '\([^']*\)',$/\1/p" "$top/meson.build" | head -n 1)
    commit=$(git --git-dir="$top/.git" --work-tree="$top" describe --always --abbrev=40 \
        --dirty=-modified --exclude='*' 2>/dev/null) || commit=unknown
    echo "qorv_raw_data_parser version $version, commit $commit"
}

# highest_version READELF FILE NAME: the highest NAME_x.y that FILE's version
# needs name (the oldest library version that can run it), or "-".
highest_version() {
    "$1" -V "$2" | grep -oE "Name: $3_[0-9.]+" | sed 's/^Name: //' | sort -V | tail -n 1 |
        grep . || echo -
}

executable_row() { printf '%-36s %7s  %-27s %-12s %-10s %-4s %-8s %-7s %-7s %s\n' "$@"; }
executable_header() {
    executable_row file bytes "version commit" "glibc needed" "libstdc++" PIE RELRO SSP FORTIFY NEEDED
}

# A sample record and what a working executable prints for it.
sample_record=(0 AQMCAQACAQAAAAAAAAACAAAAAAAAAA==)
sample_summary="MemoryConfig: formatVersion 1, QORV_UEFI_SYS_CONFIG.Data 66051, cpuCount 2, eccMode 1,2"

# check_executable FILE NAME TARGET KIND CORE [MAX-BYTES]: prints FILE's row
# of what it needs and how it is hardened, all read from the file itself; fails
# when it lacks something, named in `lacking`. KIND is dynamic or static; with
# MAX-BYTES it is a release file: stripped and at most that size.
check_executable() {
    local path=$1 name=$2 target=$3 kind=$4 core=$5 max=${6:-} readelf=$3-readelf
    local bytes headers dynamic comment ident needed glibc cxx build pie relro ssp fortify
    local lacks=()
    lacking=
    bytes=$(stat -c %s "$path")
    headers=$("$readelf" -hlSW "$path")
    dynamic=$("$readelf" -dW "$path")
    comment=$("$readelf" -p .comment "$path" 2>/dev/null || true)
    ident=$(source_ident)

    needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic" | tr '\n' ' ' | sed 's/ $//')
    glibc=$(highest_version "$readelf" "$path" GLIBC)
    cxx=$(highest_version "$readelf" "$path" GLIBCXX)
    [ "$cxx" != - ] || cxx="linked in"
    # The version and commit, as `strings` reads them from the file.
    build=$(strings -a "$path" | grep -m 1 '^qorv_raw_data_parser version ' || true)
    [ "$build" = "$ident" ] || lacks+=("\"$ident\"")
    build=$(sed -E 's/^qorv_raw_data_parser version ([^,]*), commit ([0-9a-f]{12})?[0-9a-f]*/\1 \2/' \
        <<<"${build:-none}")
    pie=no
    if grep -q 'Type: *DYN' <<<"$headers" && grep -q 'FLAGS_1.*PIE' <<<"$dynamic"; then
        pie=yes
    fi
    relro=no
    if grep -q GNU_RELRO <<<"$headers"; then
        relro=partial
        grep -qE '\(FLAGS\).*BIND_NOW|FLAGS_1.*NOW' <<<"$dynamic" && relro=full
    fi
    ssp=$(grep -oE 'qorv_raw_data_parser: stack protector( all| strong)?' <<<"$comment" |
        sed 's/.*protector *//; s/^$/basic/' || echo no)
    fortify=$(grep -oE 'qorv_raw_data_parser: fortify source [0-9]' <<<"$comment" |
        sed 's/.* //' || echo no)

    [ "$(QEMU_CPU=$core qemu-arm "$path" "${sample_record[@]}" 2>/dev/null)" = "$sample_summary" ] ||
        lacks+=("a working run on $core")
    case $ssp in all | strong) ;; *) lacks+=("stack protector strong") ;; esac
    [[ $fortify =~ ^[0-9]$ && $fortify -ge 2 ]] || lacks+=("FORTIFY_SOURCE=2")
    if [ "$kind" = dynamic ]; then
        [ "$pie" = yes ] || lacks+=(PIE)
        [ "$relro" = full ] || lacks+=("full RELRO")
        [[ $needed != *libfmt* ]] || lacks+=("fmt compiled in")
        [[ $needed != *libstdc++* && $needed != *libgcc_s* ]] || lacks+=("C++ runtime linked in")
    else
        [ -z "$needed" ] || lacks+=("static link")
        [ "$relro" != no ] || lacks+=(RELRO)
        # Static PIE only where the target's C library supports it.
        if echo 'int main() { return 0; }' |
            "$target-g++" -x c++ -fPIE -static-pie - -o /dev/null 2>/dev/null; then
            [ "$pie" = yes ] || lacks+=("static PIE")
        fi
        needed="(static)"
    fi
    if [ -n "$max" ]; then
        ! grep -q ' \.symtab ' <<<"$headers" || lacks+=("stripping")
        [ "$bytes" -le "$max" ] || lacks+=("at most $max bytes")
    fi
    executable_row "$name" "$bytes" "$build" "$glibc" "$cxx" "$pie" "$relro" "$ssp" "$fortify" \
        "$needed"
    [ ${#lacks[@]} -eq 0 ] && return
    # shellcheck disable=SC2034 # read by the scripts that source this file
    lacking=$(printf '%s, ' "${lacks[@]}" | sed 's/, $//')
    return 1
}

# tally WORD LOG...: the sum of GoogleTest's "[  WORD  ] N tests" lines in the LOGs.
tally() {
    local word=$1
    shift
    cat "$@" 2>/dev/null | { grep -ohE "^\[  $word  \] [0-9]+ test" || true; } |
        awk '{s += $4} END {print s + 0}'
}

# e2e LOG COMMAND...: the end-to-end tests ($harness) against the tool that
# COMMAND starts, in two shards at once (most of the time is the emulator or
# valgrind starting).
e2e() {
    local log=$1 shard pid ok=0 pids=()
    : "${harness:?the end-to-end harness}"
    shift
    for shard in 0 1; do
        GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$shard "$harness" "$@" >"$log.$shard" 2>&1 &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || ok=1
    done
    return $ok
}

# cxx_runtime PREFIX FILE: what FILE links of the C++ runtime's exception
# support (the name demangler, personality routine, unwinder, terminate
# handler), read with PREFIX's nm ("" or a cross target and "-"); empty when
# nothing.
cxx_runtime() {
    local symbols found=()
    symbols=$("${1}nm" "$2")
    grep -q d_demangle <<<"$symbols" && found+=(demangler)
    grep -q __gxx_personality <<<"$symbols" && found+=(personality)
    grep -q _Unwind_ <<<"$symbols" && found+=(unwinder)
    grep -q terminate_handler <<<"$symbols" && found+=(terminate)
    echo "${found[*]}"
}

# stripped_bytes PREFIX FILE: FILE's size once stripped (by PREFIX's strip).
stripped_bytes() {
    "${1}strip" -o "$2.stripped" "$2"
    stat -c %s "$2.stripped"
}

# Root filesystems of other Debian releases, for the toolchains that BMC
# images build with today (tools/toolchains). Kept outside the checkout, made
# once: a second run downloads nothing.
root_cache=${QORV_ROOT_CACHE:-/var/cache/qorv_raw_data_parser}

# debian_root SUITE: makes SUITE's root filesystem unless the cache holds one
# with the same packages; prints its path. Fails, and says why, when it cannot.
debian_root() {
    local suite=$1 dir=$root_cache/$1 arch want start=$SECONDS
    arch=$(dpkg --print-architecture)
    local packages=(g++ clang meson ninja-build pkgconf git dpkg-dev binutils libfmt-dev libgtest-dev
        g++-arm-linux-gnueabihf libfmt-dev:armhf qemu-user)
    case $suite in
    # The bill of materials' schema and its validator.
    trixie) packages+=(python3-cyclonedx-lib python3-jsonschema python3-referencing) ;;
    unstable) packages+=(g++-15) ;;
    esac
    want="$arch,armhf $(printf '%s ' "${packages[@]}")"
    if [ "$(cat "$dir/.qorv-packages" 2>/dev/null)" != "$want" ]; then
        ensure_packages mmdebstrap >&2 || return 1
        mkdir -p "$root_cache"
        rm -rf "$dir" "$dir.new"
        # unstable's Release file may be past its Valid-Until on a mirror.
        if ! mmdebstrap --variant=apt --architectures="$arch,armhf" \
            --aptopt='Acquire::Check-Valid-Until "false"' \
            --include="$(printf '%s,' "${packages[@]}")" "$suite" "$dir.new" >"$dir.log" 2>&1; then
            grep -E '^E:' "$dir.log" | tail -n 5 >&2
            echo "cannot make the $suite root filesystem (log: $dir.log)" >&2
            rm -rf "$dir.new"
            return 1
        fi
        echo "$want" >"$dir.new/.qorv-packages"
        mv "$dir.new" "$dir"
        echo "made the $suite root filesystem in $dir ($((SECONDS - start)) s)" >&2
    fi
    echo "$dir"
}

# in_root ROOT COMMAND [ARG...]: runs COMMAND in the root filesystem ROOT,
# with this checkout at /src, read-only.
in_root() {
    ensure_packages bubblewrap >&2
    bwrap --bind "$1" / --ro-bind "$top" /src --proc /proc --dev /dev --clearenv \
        --setenv PATH /usr/sbin:/usr/bin:/sbin:/bin --setenv HOME /root --setenv LC_ALL C.UTF-8 \
        "${@:2}"
}
