#!/bin/sh
# Runs a command in a private network namespace (unshare -rn: a new user and
# network namespace, no root needed), as the first process of a private PID
# namespace too, so that any server it starts ends with it; /proc shows that
# namespace, as LeakSanitizer needs. Where the kernel refuses one, the test
# is skipped with status 77, saying why; it never passes silently.
if ! reason=$(unshare -rn --pid --fork --mount-proc true 2>&1); then
    echo "SKIPPED: this kernel refuses private network and PID namespaces (unshare -rn --pid): $reason" >&2
    exit 77
fi
exec unshare -rn --pid --fork --kill-child --mount-proc "$@"
