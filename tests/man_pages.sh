#!/bin/sh
# Renders each man page given with every groff warning on; any warning fails.
status=0
for page in "$@"; do
    warnings=$(groff -ww -man -Tutf8 "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "$page:" >&2
        echo "$warnings" >&2
        status=1
    fi
done
exit $status
