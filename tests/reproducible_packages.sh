#!/bin/sh
# reproducible_packages.sh WORK PACKAGES [CMAKE-ARGUMENT...]: builds the
# project's packages again from the same source in a build tree of its own,
# WORK, configured with the arguments given, and compares each package in
# PACKAGES with its twin byte for byte. The second tree is configured and
# built under another umask than the first (0002 after 0022, or the other
# way): what the packages hold must not depend on it.
set -eu
work=$1
packages=$2
shift 2
source=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(umask)" = 0002 ]; then
    umask 0022
else
    umask 0002
fi
echo "second build under umask $(umask)"
rm -rf "$work"
cmake -S "$source" -B "$work" -DBUILD_TESTING=OFF "$@" >/dev/null
cmake --build "$work" -j 2 >/dev/null
# cpack writes the .deb's outer members with the umask's modes; every
# packaging command runs it under Debian's 0022.
(cd "$work" && umask 0022 && cpack -B "$work/packages" >/dev/null)
status=0
count=0
for deb in "$packages"/*.deb; do
    count=$((count + 1))
    twin=$work/packages/$(basename "$deb")
    if cmp "$deb" "$twin"; then
        echo "identical: $(basename "$deb")"
    else
        status=1
    fi
done
twins=$(find "$work/packages" -maxdepth 1 -name '*.deb' | wc -l)
[ "$count" -ge 2 ] && [ "$count" -eq "$twins" ] ||
    { echo "$packages holds $count packages, the second build $twins" >&2; status=1; }
exit $status
