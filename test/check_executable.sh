#!/usr/bin/env bash
# SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
# SPDX-License-Identifier: Apache-2.0
# test/check_executable.sh FILE [CHECK...]: what an executable of this project
# must be, read from the file with the binutils that NM, READELF and STRIP
# name. Prints one line; fails naming what FILE lacks. Always: none of the C++
# runtime's exception support (an unwinder only in a dynamic file: static
# glibc brings its own). CHECKs (README: Hardening): max=BYTES stripped;
# stripped; hardened (PIE, full RELRO, NX stack, SSP strong, FORTIFY 2);
# release=DEBUGFILE (hardened, and every OpenSSF option the .comment section
# names, in DEBUGFILE's DW_AT_producer too; SSP and fortified calls seen in
# its symbols); sandboxed; ident=VERSION.HPP; no-cxx-runtime.
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
pie=no relro=no stack=executable
grep -q 'Type: *DYN' <<<"$headers" && grep -q 'FLAGS_1.*PIE' <<<"$dynamic" && pie=yes
grep -q GNU_RELRO <<<"$headers" && relro=partial
[ $relro = no ] || ! grep -qE '\(FLAGS\).*BIND_NOW|FLAGS_1.*NOW' <<<"$dynamic" || relro=full
grep -qE 'GNU_STACK +(0x[0-9a-f]+ +){5}RW ' <<<"$headers" && stack=NX
ssp=$(grep -oE 'stack protector( all| strong)?$' <<<"$comment" | sed 's/.*protector *//; s/^$/basic/' ||
    echo no)
fortify=$(grep -oE 'fortify source [0-9]$' <<<"$comment" | sed 's/.* //' || echo no)
sandbox=no
! grep -q 'sandbox seccomp-bpf$' <<<"$comment" || sandbox=seccomp-bpf
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
        [ $stack = NX ] || lacks+=("a stack that is not executable")
        ;;
    release=*)
        debug=${check#release=}
        [ "$fortify" = 3 ] || lacks+=(FORTIFY_SOURCE=3)
        grep -q 'library assertions$' <<<"$comment" || lacks+=("library assertions")
        options=$(sed -n 's/.*qorv_raw_data_parser: hardened with //p' <<<"$comment")
        producer=$("$readelf" --debug-dump=info "$debug" 2>/dev/null | grep -m 1 DW_AT_producer || true)
        for option in -fstack-protector-strong -fstack-clash-protection -ftrivial-auto-var-init=zero \
            $options; do
            [[ " $options " = *" $option "* ]] || lacks+=("$option")
            [[ "$producer " = *" $option "* ]] || lacks+=("$option in the compiler's record")
        done
        debugsymbols=$("${NM:-nm}" "$debug" 2>/dev/null || true)
        grep -qE ' __stack_chk_fail(@.*)?$' <<<"$debugsymbols" || lacks+=("a stack protector call")
        fortified=$(grep -E ' __[a-z0-9_]+_chk(@.*)?$' <<<"$debugsymbols" | grep -vc __stack_chk || true)
        echo "${file##*/}: in the debug file: stack protector calls, $fortified fortified functions"
        ;;
    sandboxed) grep -q 'qorv_raw_data_parser: sandbox seccomp-bpf$' <<<"$comment" || lacks+=("the sandbox") ;;
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
printf '%s: %s bytes stripped, %s, PIE %s, RELRO %s, stack %s, SSP %s, FORTIFY %s, sandbox %s, needs %s\n' \
    "${file##*/}" "$bytes" "$kind" $pie $relro $stack "$ssp" "$fortify" $sandbox "${needed:-nothing}${glibc:+($glibc)}"
[ ${#lacks[@]} -eq 0 ] || { printf 'lacks: %s\n' "${lacks[@]}"; exit 1; }
