#!/bin/sh
# servers_stopped.sh: installing the servers the tests use (nginx, Apache,
# PHP-FPM, PostgreSQL, Prometheus) started none of them on this machine, and no test
# left one behind: none runs in this network namespace. The tests run
# theirs in private namespaces only.
here=$(readlink /proc/self/ns/net)
status=0
for process in /proc/[0-9]*; do
    case "$(cat "$process/comm" 2>/dev/null)" in
        nginx | apache2 | php-fpm* | postgres | prometheus) ;;
        *) continue ;;
    esac
    if [ "$(readlink "$process/ns/net" 2>/dev/null)" = "$here" ]; then
        echo "runs on this machine: $(tr '\0' ' ' <"$process/cmdline") (pid ${process#/proc/})" >&2
        status=1
    fi
done
exit $status
