#!/bin/sh
# subproject.sh WORK: builds tests/subproject, which takes this source tree
# in with add_subdirectory, and checks that the consumer in it seals and
# opens a text and that the bigger build got no tests and no packages from
# sealpost.
set -eu
work=$1
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
cmake -S "$here/subproject" -B "$work" -DSEALPOST_SOURCE_DIR="$here/.." >/dev/null
cmake --build "$work" --target consumer >/dev/null
status=0
for file in CPackConfig.cmake DartConfiguration.tcl CTestTestfile.cmake sealpost/CTestTestfile.cmake; do
    if [ -e "$work/$file" ]; then
        echo "the bigger build got $file from sealpost" >&2
        status=1
    fi
done
"$work/consumer" 'Attack at dawn' sesame || status=1
exit $status
