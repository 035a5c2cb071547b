#!/usr/bin/env bash
# tools/can-run-32bit: on a complete install the answer is yes, or the kernel's refusal; a
# 32-bit loader that is missing, damaged or failing is a broken install, told apart from a skip
# (exit status 2, nothing on standard output, what to install or check on standard error).
# Argument: the probe.
set -uo pipefail
probe=$1
unset CANLIB_NO_32BIT
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
    echo "FAILED: $*"
    failed=1
}

answer=$("$probe" 2>"$work/error")
status=$?
if ((status == 1)); then
    [[ $answer == *": Exec format error, exit status 126"* ]] ||
        fail "this machine's refusal does not name the kernel's: '$answer'"
elif ((status != 0)); then
    fail "this machine's install was found broken (exit status $status): $(cat "$work/error")"
fi

expect_broken() {
    local loader=$1 named=$2
    answer=$(CANLIB_32BIT_LOADER=$loader "$probe" 2>"$work/error")
    status=$?
    ((status == 2)) || fail "$loader: exit status $status, not 2 ('$answer')"
    [[ -z $answer ]] || fail "$loader: '$answer' on standard output, as a skip would say"
    grep -qF "$named" "$work/error" || fail "$loader: '$(cat "$work/error")' names no '$named'"
}
expect_broken "$work/missing" "install libc6:i386"
# Bytes that no kernel executes: "Exec format error" from a file that is no i386 program.
printf '\0\1\2\3' >"$work/damaged"
chmod +x "$work/damaged"
expect_broken "$work/damaged" "is not an i386 program"
printf '#!/bin/sh\necho "ld.so: cannot open shared object file" >&2\nexit 127\n' >"$work/failing"
chmod +x "$work/failing"
expect_broken "$work/failing" "cannot open shared object file, exit status 127"
exit "$failed"
