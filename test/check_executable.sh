#!/usr/bin/env bash
# SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
# SPDX-License-Identifier: Apache-2.0
# test/check_executable.sh FILE [CHECK...]: what an executable of this project
# must be, read from the file itself with the binutils that NM, READELF and
# STRIP name (the build machine's by default). Prints one line; fails naming
# what FILE lacks. Always: none of the C++ runtime's exception support (name
# demangler, personality routine, terminate handler; an unwinder in a dynamic
# file: static glibc brings its own). CHECKs:
#   max=BYTES          at most BYTES once stripped
#   stripped           stripped already (a release file)
#   hardened           PIE (dynamic files), RELRO (full in dynamic files),
#                      stack protector strong, FORTIFY_SOURCE=2
#   runs=EMULATOR:CORE decodes a sample record on CORE
#   ident=VERSION.HPP  carries the version and commit that VERSION.HPP names
#   no-cxx-runtime     needs neither libstdc++ nor libgcc_s nor libfmt
set -euo pipefail
file=$1
shift
readelf=${READELF:-readelf}
lacks=()
symbols=$("${NM:-nm}" "$file" 2>/dev/null || true)
headers=$("$readelf" -hlSW "$file")
dynamic=$("$readelf" -dW "$file")
comment=$("$readelf" -p .comment "$file" 2>/dev/null || true)
needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic" | tr '\n' ' ')
kind=dynamic
[ -n "$needed" ] || kind=static
runtime=(d_demangle __gxx_personality terminate_handler)
[ $kind = static ] || runtime+=(_Unwind_)
for symbol in "${runtime[@]}"; do
    ! grep -q "$symbol" <<<"$symbols" || lacks+=("no $symbol (C++ exception runtime)")
done
"${STRIP:-strip}" -o "$file.stripped" "$file"
bytes=$(stat -c %s "$file.stripped")
rm -f "$file.stripped"
pie=no relro=no
grep -q 'Type: *DYN' <<<"$headers" && grep -q 'FLAGS_1.*PIE' <<<"$dynamic" && pie=yes
grep -q GNU_RELRO <<<"$headers" && relro=partial
[ $relro = no ] || ! grep -qE '\(FLAGS\).*BIND_NOW|FLAGS_1.*NOW' <<<"$dynamic" || relro=full
ssp=$(grep -oE 'stack protector( all| strong)?$' <<<"$comment" | sed 's/.*protector *//; s/^$/basic/' ||
    echo no)
fortify=$(grep -oE 'fortify source [0-9]$' <<<"$comment" | sed 's/.* //' || echo no)
for check in "$@"; do
    case $check in
    max=*) [ "$bytes" -le "${check#max=}" ] || lacks+=("at most ${check#max=} bytes stripped") ;;
    stripped) ! grep -q ' \.symtab ' <<<"$headers" || lacks+=(stripping) ;;
    hardened)
        [[ $ssp = all || $ssp = strong ]] || lacks+=("stack protector strong")
        [[ $fortify =~ ^[2-9]$ ]] || lacks+=(FORTIFY_SOURCE=2)
        [ $relro != no ] || lacks+=(RELRO)
        [ $kind = static ] || [ $pie = yes ] || lacks+=(PIE)
        [ $kind = static ] || [ $relro = full ] || lacks+=("full RELRO")
        ;;
    runs=*)
        core=${check#*:}
        emulator=${check#runs=}
        out=$(QEMU_CPU=$core "${emulator%%:*}" "$file" 0 AQMCAQACAQAAAAAAAAACAAAAAAAAAA== 2>/dev/null) || true
        [ "$out" = "MemoryConfig: formatVersion 1, QORV_UEFI_SYS_CONFIG.Data 66051, cpuCount 2, eccMode 1,2" ] ||
            lacks+=("a working run on $core")
        ;;
    ident=*)
        ident=$(sed -n 's/^#define QORVD_\(VERSION\|COMMIT\) "\(.*\)"/\2/p' "${check#ident=}" |
            paste -sd ' ' | sed 's/ /, commit /')
        grep -qx "qorv_raw_data_parser version $ident" <(strings -a "$file") ||
            lacks+=("\"version $ident\"")
        ;;
    no-cxx-runtime)
        [[ $needed != *libfmt* ]] || lacks+=("fmt compiled in")
        [[ $needed != *libstdc++* && $needed != *libgcc_s* ]] || lacks+=("C++ runtime linked in")
        ;;
    *) lacks+=("a known check: $check") ;;
    esac
done
glibc=$("$readelf" -V "$file" | grep -oE 'Name: GLIBC_[0-9.]+' | sed "s/Name: //" | sort -V | tail -n 1 || true)
printf '%s: %s bytes stripped, %s, PIE %s, RELRO %s, SSP %s, FORTIFY %s, needs %s\n' \
    "${file##*/}" "$bytes" "$kind" $pie $relro "$ssp" "$fortify" "${needed:-nothing}${glibc:+($glibc)}"
[ ${#lacks[@]} -eq 0 ] || { printf 'lacks: %s\n' "${lacks[@]}"; exit 1; }
