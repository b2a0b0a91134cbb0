#!/bin/bash
# booted_package.sh WORK CACHE SOURCE DEB FORMSEND BFSEAL BFMAC: the receiver's
# package as users run it, under a real systemd. A minbase root of this machine's Debian,
# made once with debootstrap and kept as a tarball in CACHE, is unpacked
# fresh into WORK for each of two containers, booted with systemd-nspawn on
# a private network (their own loopback only):
#  - fresh: apt installs DEB; without the key both units are skipped, not
#    failed; set up by the guide's recipes for one host, a fleet and a
#    key's rotation, run as written, posts that formsend sends get 204 and
#    `export` shows them,
#    across `systemctl reload` and a `restart` with a new key; the service
#    holds no capability, and its sandbox refuses what its unit denies;
#    systemd-analyze verify passes there.
#  - upgrade: 1.2.0's package, built from SOURCE's git history, is installed
#    and enabled as its guide said, then apt upgrades to DEB; the key stays,
#    and the receiver answers on port 80, then and after a reboot.
# apt reaches the mirror this machine's apt uses before each container boots;
# booted, a container has no network but its own loopback. A machine that
# cannot boot a container fails the test, saying why.
# Environment: CMAKE and CPACK, the commands that build 1.2.0.
set -eu
work=$1
cache=$2
source=$3
deb=$4
formsend=$5
bfseal=$6
bfmac=$7
# The build machine's own Debian, which the package was built for.
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
# The last commit of 1.2.0, whose receiver was Python under gunicorn.
old_release=5fb2f37
# curl, as the guide's recipes use it.
include=systemd,systemd-sysv,dbus,man-db,curl
PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export LC_ALL=C

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || fail "booting a container needs root"
for tool in systemd-nspawn debootstrap nsenter unshare git "${CMAKE:-cmake}" "${CPACK:-cpack}"; do
    command -v "$tool" >/dev/null || fail "$tool is missing (./build.sh test installs systemd-container and debootstrap)"
done
# systemd-nspawn asks the host's systemd for a scope unit to run in; where
# PID 1 is not systemd (containers, CI sandboxes) there is none to ask, and
# the container stays in this process's cgroups.
nspawn_flags="--register=no --quiet"
[ -d /run/systemd/system ] || nspawn_flags="$nspawn_flags --keep-unit"

# A run killed before it could stop its containers (a time-out's SIGKILL)
# leaves them running: ending each one's PID 1 ends all of it.
for leader_file in "$work"/*/leader; do
    [ -f "$leader_file" ] || continue
    leader=$(cat "$leader_file")
    case "$(readlink "/proc/$leader/root" 2>/dev/null)" in
        "$work"/*) kill -KILL "$leader" 2>/dev/null || true ;;
    esac
done
rm -rf --one-file-system "$work"
mkdir -p "$work" "$cache"

# The mirror: the first that apt here uses for the suite. Read from the
# sources alone, so that a machine whose package lists were cleaned finds it.
# shellcheck disable=SC2016 # apt expands the fields
host_sources=$(apt-get indextargets --no-release-info --format '$(TARGET_OF) $(REPO_URI) $(RELEASE) $(COMPONENT)' 2>/dev/null |
    awk -v s="$suite" '$1 == "deb" && ($3 == s || $3 == s "-updates" || $3 == s "-security") { print "deb", $2, $3, $4 }' |
    sort -u)
mirror=$(echo "$host_sources" | awk -v s="$suite" '$3 == s { print $2; exit }')
if [ -z "$mirror" ]; then
    mirror=http://deb.debian.org/debian/
    host_sources="deb $mirror $suite main"
fi
case "$mirror" in https:*) include="$include,ca-certificates" ;; esac

# The base system, made once per mirror and package list.
tarball=$cache/$suite-$(echo "$mirror $include" | md5sum | cut -c1-12).tar.gz
if [ ! -s "$tarball" ]; then
    echo "making the $suite base system from $mirror (once)"
    rm -rf --one-file-system "$cache/debootstrap"
    mkdir -p "$cache/debootstrap"
    # In a mount namespace of its own, so that nothing it mounts outlives it.
    unshare -m --propagation private debootstrap --variant=minbase --include="$include" \
        "$suite" "$cache/debootstrap/root" "$mirror" >"$cache/debootstrap/log" 2>&1 ||
        { tail -n 20 "$cache/debootstrap/log"; fail "debootstrap failed"; }
    tar --numeric-owner --one-file-system -C "$cache/debootstrap/root" \
        --exclude='./dev/*' --exclude='./proc/*' --exclude='./sys/*' \
        --exclude='./var/cache/apt/archives/*.deb' --exclude='./var/lib/apt/lists/*_*' \
        -czf "$tarball.part" .
    mv "$tarball.part" "$tarball"
    rm -rf --one-file-system "$cache/debootstrap"
fi

# prepare NAME DEB...: a fresh root for container NAME, the packages in its
# /root and the programs that post in its /usr/local/bin.
prepare() {
    name=$1
    shift
    root=$work/$name/root
    mkdir -p "$root"
    tar --numeric-owner -xpzf "$tarball" -C "$root"
    echo "$host_sources" >"$root/etc/apt/sources.list"
    echo "sealpost-$name" >"$root/etc/hostname"
    # How apt here reaches the mirror (proxies, the validity of a snapshot's dates).
    apt-config dump | grep -E '^Acquire::(Check-Valid-Until|Check-Date|Max-ValidTime|(https?|ftp)::Proxy|Proxy) ' \
        >"$root/etc/apt/apt.conf.d/00host-access" || true
    cp "$@" "$root/root/"
    install -m 755 "$formsend" "$bfseal" "$bfmac" "$root/usr/local/bin/"
}

# in_root NAME COMMAND...: runs a command in NAME's root, not booted, on this
# machine's network, for apt to reach the mirror.
in_root() {
    name=$1
    shift
    # shellcheck disable=SC2086
    systemd-nspawn $nspawn_flags -D "$work/$name/root" --pipe --setenv=DEBIAN_FRONTEND=noninteractive \
        -- "$@" >>"$work/$name/apt.log" 2>&1 </dev/null ||
        { tail -n 20 "$work/$name/apt.log"; fail "in $name's root: $* failed"; }
}

# The container running now: its name, systemd-nspawn's PID and the PID of
# its systemd.
name=
nspawn=
leader=

# in_container COMMAND...: runs a command inside the booted container, as root
# in all its namespaces, with a clean environment and a time limit.
in_container() {
    timeout 60 nsenter -t "$leader" -a -- env -i PATH="$PATH" LANG=C.UTF-8 "$@"
}

show_journal() {
    echo "== journal of $name's receiver"
    in_container journalctl -b --no-pager -u sealpost-receiver.socket -u sealpost-receiver.service || true
}

stop_container() {
    [ -n "$nspawn" ] || return 0
    # SIGTERM has systemd-nspawn shut the container down cleanly.
    kill -TERM "$nspawn" 2>/dev/null || true
    for _ in $(seq 100); do
        kill -0 "$nspawn" 2>/dev/null || break
        sleep 0.2
    done
    if kill -0 "$nspawn" 2>/dev/null; then
        kill -KILL "$leader" "$nspawn" 2>/dev/null || true
    fi
    wait "$nspawn" 2>/dev/null || true
    rm -f "$work/$name/leader"
    nspawn=
}

finish() {
    status=$?
    if [ "$status" -ne 0 ] && [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
        show_journal
    fi
    stop_container
    # Kept for a look after a failure; the next run removes them.
    [ "$status" -ne 0 ] || rm -rf --one-file-system "$work"/*/root
    exit "$status"
}
trap finish EXIT
trap 'exit 143' TERM INT HUP

# boot NAME: boots the container, waits until systemd has started everything.
boot() {
    name=$1
    # shellcheck disable=SC2086
    systemd-nspawn $nspawn_flags -D "$work/$name/root" -M "sealpost-$name" -b --private-network \
        --console=read-only >"$work/$name/console.log" 2>&1 </dev/null &
    nspawn=$!
    leader=
    for _ in $(seq 150); do
        if ! kill -0 "$nspawn" 2>/dev/null; then
            cat "$work/$name/console.log"
            nspawn=
            fail "systemd-nspawn could not boot a container on this machine (its output is above)"
        fi
        child=$(cat "/proc/$nspawn/task/$nspawn/children" 2>/dev/null || true)
        # Until it is systemd, the child is still setting the container up.
        if [ -n "$child" ] && [ "$(cat "/proc/${child% }/comm" 2>/dev/null)" = systemd ]; then
            leader=${child% }
            break
        fi
        sleep 0.2
    done
    [ -n "$leader" ] || { cat "$work/$name/console.log"; fail "$name: systemd did not start within 30 s"; }
    echo "$leader" >"$work/$name/leader"
    # systemctl cannot wait on a bus that systemd has yet to make, which a
    # slow machine takes seconds to do.
    for _ in $(seq 300); do
        [ -S "/proc/$leader/root/run/systemd/private" ] && break
        sleep 0.2
    done
    [ -S "/proc/$leader/root/run/systemd/private" ] ||
        { cat "$work/$name/console.log"; fail "$name: systemd made no bus within 60 s"; }
    state=$(in_container systemctl is-system-running --wait || true)
    if [ "$state" != running ]; then
        cat "$work/$name/console.log"
        in_container systemctl --failed --no-pager || true
        fail "$name: the booted system is $state, not running"
    fi
    echo "$name: booted"
}

# The key as the guide makes it: root's alone.
make_key() {
    in_container sh -c 'install -d -m 700 /etc/sealpost &&
        umask 077 && head -c 24 /dev/urandom | base64 >/etc/sealpost/key'
}

# run_recipe NAME [BLOCK]: the guide's recipe NAME (or its BLOCK-th block
# alone), as written, in the container as root, for whom sudo is nothing;
# prints what it printed.
run_recipe() {
    script=$(python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from guide_recipes import recipe
blocks = recipe(sys.argv[2]); print("".join(blocks[int(sys.argv[3]) - 1:int(sys.argv[3])] if sys.argv[3] else blocks))' \
        "$source/tests" "$1" "${2:-}") || fail "docs/server.md has no recipe $1"
    # shellcheck disable=SC2016 # the container's shell expands it
    in_container sh -ec 'sudo() { "$@"; }
cd /root
'"$script" 2>&1 || fail "the guide's recipe $1 ${2:-}failed"
}

# post TEXT WHAT [KEY FILE [DEVICE]]: TEXT sealed with the key (by default
# the receiver's), as a device posts it, with its MAC when it names a
# device, gets 204.
post() {
    # shellcheck disable=SC2016 # the container's shell expands them
    answer=$(in_container sh -c 'hex=$(bfseal -k "$2" "$1") && mac=${3:+&mac=$(bfmac -k "$2" -d "$3" "$hex")} &&
        formsend 127.0.0.1 / "${3:+device=$3&}sealed=$hex$mac" 2>&1' sh "$1" "${3:-/etc/sealpost/key}" "${4:-}" |
        tr -d '\r') || true
    status=$(echo "$answer" | sed -n 2p)
    [ "$status" = "HTTP/1.1 204 No Content" ] || fail "$name: a post $2 got ${status:-no answer}, not 204: $answer"
}

# exported EXPECTED...: the texts `sealpost-receiver export` shows, in order.
exported() {
    expected=$(printf '%s\n' "$@")
    records=$(in_container sealpost-receiver export) || fail "$name: sealpost-receiver export failed"
    texts=$(echo "$records" | sed -n 's/.*"text": "\(.*\)"}$/\1/p')
    [ "$texts" = "$expected" ] || fail "$name: the receiver kept
$records
not the texts
$expected"
}

main_pid() {
    in_container systemctl show -P MainPID sealpost-receiver.service
}

# ---- fresh: the package installed by apt, set up as the guide says --------
prepare fresh "$deb"
in_root fresh apt-get update -q
in_root fresh apt-get install -y -q --no-install-recommends "/root/$(basename "$deb")"
boot fresh
# The folder made but not the key yet, as midway through the guide: a start
# skips both units by their condition and leaves neither failed.
in_container install -d -m 700 /etc/sealpost
in_container systemctl start sealpost-receiver.service || fail "systemctl start without a key failed"
for unit in sealpost-receiver.socket sealpost-receiver.service; do
    state="$(in_container systemctl show -P ConditionResult "$unit") $(in_container systemctl show -P ActiveState "$unit")"
    [ "$state" = "no inactive" ] || fail "without a key, $unit's condition result and state are $state, not no inactive"
done
said=$(run_recipe one-host) || fail "$said"
case "$said" in
    *"HTTP/1.1 204 No Content"*) ;;
    *) fail "the guide's recipe for one host printed $said" ;;
esac
# The line the guide shows, which the receiver writes once the answer is out.
for _ in $(seq 50); do
    in_container journalctl -b --no-pager -u sealpost-receiver.service | grep -q \
        'sealpost-receiver: a post from 127.0.0.1 naming no device does not open: wrong key or damaged; kept in unopened' &&
        break
    sleep 0.2
done || true
in_container journalctl -b --no-pager -u sealpost-receiver.service | grep -q 'naming no device does not open' ||
    fail "the log has not the line the guide shows for one host"
post 'Attack at dawn' 'after the socket was enabled'
# Opened or not, a post gets the same answer; what does not open is not shown.
in_container sh -c 'umask 077 && echo another key >/root/other-key'
post 'not for this receiver' 'sealed with another key' /root/other-key
first_pid=$(main_pid)
in_container systemctl reload sealpost-receiver || fail "systemctl reload sealpost-receiver failed"
[ "$(main_pid)" = "$first_pid" ] || fail "a reload restarted the receiver"
post 'after a reload' 'after a reload'
# A new key, as the guide changes it: the file, then a restart, since a
# reload does not renew systemd's copy of the credential.
make_key
in_container systemctl restart sealpost-receiver || fail "systemctl restart sealpost-receiver failed"
[ "$(main_pid)" != "$first_pid" ] || fail "a restart kept the same receiver process"
post 'with the new key' 'with the key changed and the receiver restarted'
exported 'Attack at dawn' 'after a reload' 'with the new key'
# A key per device, as the guide sets it up: a folder only root and the
# service's group read, read again on a reload.
in_container sh -c 'install -d -m 750 -g sealpost-keys /etc/sealpost /etc/sealpost/keys &&
    umask 027 && head -c 24 /dev/urandom | base64 >/etc/sealpost/keys/b1 && chgrp sealpost-keys /etc/sealpost/keys/b1 &&
    mkdir -p /etc/systemd/system/sealpost-receiver.service.d /etc/systemd/system/sealpost-receiver.socket.d &&
    printf "[Unit]\nConditionPathExists=\nConditionPathExists=/etc/sealpost/keys\n" |
        tee /etc/systemd/system/sealpost-receiver.socket.d/fleet.conf >/etc/systemd/system/sealpost-receiver.service.d/fleet.conf &&
    printf "[Service]\nLoadCredential=\nExecStart=\nExecStart=/usr/sbin/sealpost-receiver --keys /etc/sealpost/keys --metrics 127.0.0.1:9580\n" \
        >>/etc/systemd/system/sealpost-receiver.service.d/fleet.conf && systemctl daemon-reload &&
    systemctl restart sealpost-receiver' || fail "the receiver did not restart with a key per device"
post 'from b1' 'naming device b1' /etc/sealpost/keys/b1 b1
in_container sh -c 'umask 027 && echo the key of b2 >/etc/sealpost/keys/b2 && chgrp sealpost-keys /etc/sealpost/keys/b2'
fleet_pid=$(main_pid)
in_container systemctl reload sealpost-receiver || fail "systemctl reload sealpost-receiver failed"
[ "$(main_pid)" = "$fleet_pid" ] || fail "a reload restarted the receiver"
post 'from b2' 'naming device b2, whose key came with a reload' /etc/sealpost/keys/b2 b2
exported 'Attack at dawn' 'after a reload' 'with the new key' 'from b1' 'from b2'
for unit in sealpost-receiver.socket sealpost-receiver.service; do
    state=$(in_container systemctl is-active "$unit" || true)
    [ "$state" = active ] || fail "$unit is $state, not active"
done
# No capability, and not root: systemd bound the port.
status=$(in_container cat "/proc/$(main_pid)/status")
echo "$status" | grep -E '^(Uid|Cap|Seccomp)'
echo "$status" | grep -Eq '^Uid:[[:space:]]+0[[:space:]]' && fail "the receiver runs as root"
for set in CapInh CapPrm CapEff CapBnd CapAmb; do
    echo "$status" | grep -q "^$set:[[:space:]]*0000000000000000$" || fail "the receiver holds capabilities ($set)"
done
# Filtered system calls, by a list of those allowed: one of those denied
# alone lets through every call it does not name.
echo "$status" | grep -q '^Seccomp:[[:space:]]*2$' || fail "the receiver runs without a filter of system calls"
case "$(in_container systemctl show -P SystemCallFilter sealpost-receiver.service)" in
    '' | '~'*) fail "the receiver's filter of system calls names what it denies, not what it allows" ;;
esac
if ! verdict=$(in_container systemd-analyze verify /lib/systemd/system/sealpost-receiver.socket \
    /lib/systemd/system/sealpost-receiver.service 2>&1) || [ -n "$verdict" ]; then
    fail "systemd-analyze verify in the container: $verdict"
fi
# The sandbox tried from inside: a command the unit runs before the receiver
# runs in the receiver's sandbox. Netlink (16 on every Linux) is none of the
# three families allowed, and lowering one's own priority, which any process
# may, is of @resources, which the filter takes out of @system-service.
in_container sh -c 'mkdir -p /run/systemd/system/sealpost-receiver.service.d &&
    cat >/run/systemd/system/sealpost-receiver.service.d/probe.conf && systemctl daemon-reload &&
    systemctl restart sealpost-receiver' <<'EOF' || fail "the receiver did not restart with a probe of its sandbox"
[Service]
ExecStartPre=/usr/bin/perl -MSocket -e 'open(my $$out, ">", "$$ENV{STATE_DIRECTORY}/sandbox") or die "$$!\n"; \
    print $$out "netlink: ", (socket(my $$s, 16, SOCK_RAW, 0) ? "opened" : "refused"), \
    "; setpriority: ", (setpriority(0, 0, 5) ? "done" : "refused"), "\n"'
EOF
sandbox=$(in_container cat /var/lib/sealpost-receiver/sandbox) || fail "the probe of the receiver's sandbox did not run"
[ "$sandbox" = "netlink: refused; setpriority: refused" ] ||
    fail "in the receiver's sandbox, $sandbox"
# A fleet set up by the guide's recipe, its 1.4.0 drop-ins gone as the
# guide's upgrade says: no drop-in, no /etc/sealpost/key; export and check
# find the store with no option given.
in_container sh -c 'rm -rf /etc/systemd/system/sealpost-receiver.service.d /etc/systemd/system/sealpost-receiver.socket.d \
        /run/systemd/system/sealpost-receiver.service.d /etc/sealpost/key && systemctl daemon-reload' ||
    fail "the drop-ins could not be removed"
said=$(run_recipe fleet) || fail "$said"
case "$said" in
    *"/etc/sealpost/receiver.conf: 3 devices, 3 keys, the master key; store "*"received.db answers"*) ;;
    *) fail "the guide's recipe for a fleet printed $said" ;;
esac
in_container sh -c 'sealpost-receiver derive-key --master-key /etc/sealpost/master-key c9 >/root/c9-key' ||
    fail "derive-key failed"
post 'board-0042 by the guide' 'naming board-0042, set up by the guide' /etc/sealpost/keys/board-0042 board-0042
post 'c9 derived' 'naming c9, whose key is derived' /root/c9-key c9
checked=$(in_container sealpost-receiver check) || fail "sealpost-receiver check failed: $checked"
case "$checked" in
    "/etc/sealpost/receiver.conf: 3 devices, 3 keys, the master key; store "*"received.db answers") ;;
    *) fail "sealpost-receiver check printed $checked" ;;
esac
# The guide's rotation: both keys open while the folder holds both, the old
# one not once it is gone.
in_container sh -c 'cp /etc/sealpost/keys/board-0042 /root/board-0042.old &&
    umask 077 && head -c 24 /dev/urandom | base64 >/root/board-0042.new'
said=$(run_recipe rotation 1) || fail "$said"
post 'board-0042, old key' 'under the old key, midway through a rotation' /root/board-0042.old board-0042
post 'board-0042, new key' 'under the new key, midway through a rotation' /root/board-0042.new board-0042
said=$(run_recipe rotation 2) || fail "$said"
post 'board-0042, old key gone' 'under the old key, once it is gone' /root/board-0042.old board-0042
post 'board-0042, after' 'under the new key, once the rotation is done' /root/board-0042.new board-0042
exported 'Attack at dawn' 'after a reload' 'with the new key' 'from b1' 'from b2' 'board-0042 by the guide' 'c9 derived' \
    'board-0042, old key' 'board-0042, new key' 'board-0042, after'
# A key file made under umask 077: root reads it, the service does not, and
# the reload fails with the receiver's own reason.
in_container sh -c 'umask 077 && echo the key of b3 >/etc/sealpost/keys/b3'
fleet_pid=$(main_pid)
in_container systemctl reload sealpost-receiver && fail "a reload with a key file the service cannot read succeeded"
in_container journalctl -b --no-pager -u sealpost-receiver.service | grep 'keys/b3' | grep -q 'keeps the keys it had' ||
    fail "the failed reload did not log the receiver's reason"
[ "$(main_pid)" = "$fleet_pid" ] || fail "a failed reload restarted the receiver"
in_container rm /etc/sealpost/keys/b3
# An editor's backup, not a device's name: the reload fails, saying so, and
# the running receiver keeps the keys it has.
in_container sh -c 'cp /etc/sealpost/keys/b1 "/etc/sealpost/keys/b1~"'
fleet_pid=$(main_pid)
in_container systemctl reload sealpost-receiver && fail "a reload with a key file the receiver refuses succeeded"
in_container journalctl -b --no-pager -u sealpost-receiver.service | grep -q 'keys/b1~ is not named for a device' ||
    fail "the failed reload did not log its reason"
[ "$(main_pid)" = "$fleet_pid" ] || fail "a failed reload restarted the receiver"
post 'b1 after a failed reload' 'after a failed reload' /etc/sealpost/keys/b1 b1
in_container rm "/etc/sealpost/keys/b1~"
# A fault in the file: the service fails again and again, the socket stays
# up, and the first start after the file is mended serves.
in_container sh -c 'echo "lisen = 0.0.0.0:80" >>/etc/sealpost/receiver.conf'
in_container systemctl restart sealpost-receiver && fail "the receiver started with an unknown setting"
sleep 12
[ "$(in_container systemctl show -P NRestarts sealpost-receiver.service)" -ge 2 ] ||
    fail "the failing receiver was not started again"
state=$(in_container systemctl is-active sealpost-receiver.socket || true)
[ "$state" = active ] || fail "with the receiver failing, its socket is $state, not active"
in_container sh -c 'sed -i "/^lisen/d" /etc/sealpost/receiver.conf'
for _ in $(seq 50); do
    [ "$(in_container systemctl is-active sealpost-receiver.service || true)" = active ] && break
    sleep 0.2
done
post 'b1 once mended' 'once the file was mended' /etc/sealpost/keys/b1 b1
exported 'Attack at dawn' 'after a reload' 'with the new key' 'from b1' 'from b2' 'board-0042 by the guide' 'c9 derived' \
    'board-0042, old key' 'board-0042, new key' 'board-0042, after' 'b1 after a failed reload' 'b1 once mended'
stop_container
echo "fresh: installed, enabled, answered and kept posts across reloads and a restart, one key, a key per device, and a fleet by receiver.conf"

# ---- upgrade: from 1.2.0's package, as its guide set it up ----------------
mkdir -p "$work/old/src"
git -C "$source" archive "$old_release" | tar -x -C "$work/old/src" ||
    fail "$source is not a git clone that holds 1.2.0's commit $old_release"
{
    "${CMAKE:-cmake}" -S "$work/old/src" -B "$work/old/build" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release &&
        "${CMAKE:-cmake}" --build "$work/old/build" -j2 &&
        (cd "$work/old/build" && umask 022 && "${CPACK:-cpack}" -B packages)
} >"$work/old/log" 2>&1 || { tail -n 20 "$work/old/log"; fail "1.2.0's packages did not build"; }
old_deb=$work/old/build/packages/sealpost-receiver_1.2.0_all.deb
[ -f "$old_deb" ] || fail "1.2.0's build made no $(basename "$old_deb")"
prepare upgrade "$old_deb" "$deb"
in_root upgrade apt-get update -q
in_root upgrade apt-get install -y -q --no-install-recommends "/root/$(basename "$old_deb")"
# Booted, the container reaches no mirror: what the upgrade brings waits in apt's cache.
in_root upgrade apt-get install -y -q --no-install-recommends --download-only "/root/$(basename "$deb")"
boot upgrade
make_key
key_before=$(in_container sha256sum /etc/sealpost/key)
in_container systemctl enable --now sealpost-receiver || fail "1.2.0's service could not be enabled"
echo "upgrade: 1.2.0's service is $(in_container systemctl is-active sealpost-receiver.service || true)"
in_container apt-get install -y -q --no-install-recommends "/root/$(basename "$deb")" >>"$work/upgrade/apt.log" 2>&1 ||
    { tail -n 20 "$work/upgrade/apt.log"; fail "apt could not upgrade 1.2.0 to $(basename "$deb")"; }
# shellcheck disable=SC2016 # dpkg-query expands it
[ "$(in_container dpkg-query -W -f '${Version}' sealpost-receiver)" = "$(dpkg-deb -f "$deb" Version)" ] ||
    fail "the upgrade left another version installed"
[ "$(in_container sha256sum /etc/sealpost/key)" = "$key_before" ] || fail "the upgrade changed /etc/sealpost/key"
[ "$(in_container stat -c '%a %U' /etc/sealpost/key)" = "600 root" ] || fail "the upgrade changed the key's owner or mode"
post 'after the upgrade' 'after the upgrade'
stop_container
boot upgrade
post 'after a reboot' 'after the upgrade and a reboot'
exported 'after the upgrade' 'after a reboot'
stop_container
echo "booted package: a fresh install and an upgrade from 1.2.0 answer and keep posts under systemd"
