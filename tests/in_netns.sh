#!/bin/sh
# Runs a command in a private network namespace (unshare -rn: a new user and
# network namespace, no root needed). Where the kernel refuses one, the test
# is skipped with status 77, saying why; it never passes silently.
if ! reason=$(unshare -rn true 2>&1); then
    echo "SKIPPED: this kernel refuses a private network namespace (unshare -rn): $reason" >&2
    exit 77
fi
exec unshare -rn "$@"
