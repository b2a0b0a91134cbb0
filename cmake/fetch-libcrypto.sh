#!/bin/sh
# fetch-libcrypto.sh ARCH DIR: downloads Debian's libssl-dev for ARCH into DIR
# and unpacks it in DIR/openssl (its control file in DIR/openssl/DEBIAN),
# without installing it: on Debian 12 the armel one cannot be installed
# beside this machine's own.
#
# When this machine's sources cannot give it (a mirror without that file, or
# a release without armel, as Debian 14 will be), it comes from Debian 12,
# the last release every 32-bit ARM board runs, through a private apt state
# in DIR: apt still checks the release's signature, and this machine's own
# package lists stay as they are.
set -eu
architecture=$1
dir=$(mkdir -p "$2" && cd "$2" && pwd)
package=libssl-dev:$architecture
fallback=bookworm

download() {
    (cd "$dir" && apt-get download -q -o APT::Sandbox::User=root "$@" "$package" >/dev/null 2>&1)
}

if ! download; then
    uri=$(apt-get download --print-uris "$package" 2>/dev/null | sed -n "s|^'\(.*\)/pool/.*|\1|p" | head -n 1)
    echo "cannot download $package from this machine's sources; taking Debian 12's from ${uri:-nowhere}" >&2
    [ -n "$uri" ] || exit 1
    state=$dir/apt
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
    echo "deb [arch=$architecture] $uri $fallback main" >"$state/sources.list"
    set -- -o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache"
    apt-get -q -o APT::Sandbox::User=root "$@" update >/dev/null
    download "$@" || {
        echo "cannot download $package from Debian 12 either; the static programs for $architecture need its libcrypto" >&2
        exit 1
    }
fi
rm -rf "$dir/openssl"
dpkg-deb -R "$dir"/libssl-dev_*.deb "$dir/openssl"
