#!/usr/bin/env bash
# Installs what the build needs on Debian 12: the rest from Debian 12 itself, then Fast DDS 3.1 and
# Fast CDR 2.2 from the next Debian release, pinned low so nothing else is taken from there. On Debian 12
# that is a partial upgrade: Debian 13's C library, libstdc++6, OpenSSL, Boost 1.83 and base-files come
# with Fast DDS.
# Does nothing when everything is already present.
set -euo pipefail

packages_debian12=(cmake g++ clang libclang-rt-14-dev python3 liblog4cplus-dev libgtest-dev libgmock-dev libcli11-dev
                   nlohmann-json3-dev libbenchmark-dev iproute2 openssl zlib1g-dev liblz4-dev python3-matplotlib)
# libzstd-dev too: Fast DDS brings Debian 13's libzstd1, which Debian 12's libzstd-dev does not accept.
packages_next=(libfastdds-dev libfastcdr-dev libboost-url-dev fastdds-tools libzstd-dev)

installed() {
    [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

have_all() {
    local p
    for p in "${packages_debian12[@]}" "${packages_next[@]}"; do
        installed "$p" || return 1
    done
    # Debian 12's own Fast DDS is 2.x; only 3.x will do.
    dpkg-query -W -f='${Version}' libfastdds-dev | grep -q '^3\.'
}

if have_all; then
    exit 0
fi

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"

next=trixie
. /etc/os-release
# Debian 13's base-files make a set-up machine call itself trixie; its pin still marks it as Debian 12.
if [ "${VERSION_CODENAME:-}" = "bookworm" ] || [ -f /etc/apt/preferences.d/$next-low ]; then
    deb822=/etc/apt/sources.list.d/debian.sources
    if [ -f "$deb822" ]; then
        # Same mirror as the machine already uses, only the suite changes.
        awk -v next_suite="$next" 'BEGIN{RS="";ORS="\n\n"} /Suites: bookworm( |$)/ {sub(/Suites: [^\n]*/,"Suites: " next_suite); print}' \
            "$deb822" | $sudo_cmd tee /etc/apt/sources.list.d/$next.sources >/dev/null
    elif [ -f /etc/apt/sources.list ]; then
        grep -E '^deb .* bookworm( |$)' /etc/apt/sources.list | sed -E "s/ bookworm( |$)/ $next\1/" |
            $sudo_cmd tee /etc/apt/sources.list.d/$next.list >/dev/null
    else
        echo "install-deps: no apt source entry found to derive the $next entry from" >&2
        exit 1
    fi
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n' "$next" |
        $sudo_cmd tee /etc/apt/preferences.d/$next-low >/dev/null
    target=(-t "$next")
else
    target=()
fi

export DEBIAN_FRONTEND=noninteractive
$sudo_cmd apt-get update -q
# Debian 12's packages first, so that on a fresh machine they resolve against Debian 12 alone; then
# Debian 13's, which upgrade what they share with them (the C library among them).
$sudo_cmd apt-get install -y -q "${packages_debian12[@]}"
$sudo_cmd apt-get install -y -q "${target[@]}" "${packages_next[@]}"
