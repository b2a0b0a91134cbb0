#!/bin/sh
# man_pages.sh VERSION PAGE...: each man page given, gzipped or not, names
# sealpost VERSION and a date on its title line, and renders both with groff
# (every warning on) and with man -l without a single warning.
version=$1
shift
status=0
for page in "$@"; do
    title=$(gzip -dcf "$page" | head -n 1)
    case "$title" in
        ".TH "*" "[18]" "[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]" \"sealpost $version\" "*) ;;
        *)
            echo "$page: the title line names no date and sealpost $version: $title" >&2
            status=1
            ;;
    esac
    groff_warnings=$(gzip -dcf "$page" | groff -ww -man -Tutf8 2>&1 >/dev/null)
    man_warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null)
    if [ -n "$groff_warnings$man_warnings" ]; then
        printf '%s:\n%s\n%s\n' "$page" "$groff_warnings" "$man_warnings" >&2
        status=1
    fi
done
exit $status
