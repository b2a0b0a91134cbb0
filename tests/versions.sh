#!/bin/sh
# versions.sh VERSION CHANGELOG DOC...: every package file and archive the
# documents name carries VERSION, the project's version, and so does the
# changelog's newest entry, the one the packages ship.
set -u
version=$1
changelog=$2
shift 2
status=0
names=$(grep -oh -e '[a-z0-9.+-]*_[0-9][0-9A-Za-z.+~-]*_[a-z0-9]*\.deb' \
    -e 'sealpost-[0-9][0-9A-Za-z.+~-]*-linux-[a-z0-9]*-static\.tar\.gz' "$@" | sort -u)
if [ -z "$names" ]; then
    echo "$* name no package file" >&2
    status=1
fi
for name in $names; do
    case "$name" in
        *_"$version"_*.deb | sealpost-"$version"-linux-*) ;;
        *)
            echo "the documents name $name, but the version is $version" >&2
            status=1
            ;;
    esac
done
newest=$(sed -n '1s/^[a-z0-9.+-]* (\([^)]*\)).*/\1/p' "$changelog")
if [ "$newest" != "$version" ]; then
    echo "$changelog: the newest entry is for ${newest:-no version}, not $version" >&2
    status=1
fi
exit $status
