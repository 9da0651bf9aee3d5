# SPDX-License-Identifier: Apache-2.0
# SPDX-FileCopyrightText: the vorn developers
# shellcheck shell=bash
# What the package checks that run in a Debian 12 root share (sourced by
# tests/package/piuparts and tests/package/autopkgtest).

# Ends a check that cannot run here: a failure in CI, a skip (77) elsewhere.
unable() {
    echo "$1"
    [ "${CI:-}" = true ] && exit 1
    exit 77
}

# The relations that the Depends lines on stdin and the Pre-Depends and
# Depends of the .deb files given name, as one list for apt-get satisfy,
# without vorn's own packages.
dependencies() {
    {
        cat
        for f in "$@"; do dpkg-deb -f "$f" Pre-Depends Depends | sed -n 's/^[A-Za-z-]*: //p'; done
    } | tr ',' '\n' | sed 's/^ *//; s/ *$//' | grep -Ev '^(vorn|vornctl|vorn-dkms|@)( |$)|^$' | sort -u | paste -sd, -
}

# A stamp of the dependencies and of the scripts that make a root: a root
# made with another is made again.
root_stamp() {
    (echo "$1"; sha256sum "$0" "${BASH_SOURCE[0]}" | cut -d' ' -f1) | sha256sum | cut -d' ' -f1
}

# make_root CACHE OUT DEPENDENCIES [HOOK...]: a minimal Debian 12 root from
# Debian's archive with DEPENDENCIES installed, as the tarball OUT, without
# the archive's package lists; downloads are kept in CACHE/archives for the
# next time. Each HOOK is one more mmdebstrap customize hook.
make_root() {
    local cache=$1 out=$2 deps=$3 mirror=http://deb.debian.org/debian hooks=()
    shift 3
    for hook in "$@"; do hooks+=(--customize-hook="$hook"); done
    mkdir -p "$cache/archives"
    mmdebstrap --quiet --variant=minbase --skip=download/empty \
        --setup-hook='mkdir -p "$1"/var/cache/apt/archives/' \
        --setup-hook="sync-in $cache/archives/ /var/cache/apt/archives/" \
        --customize-hook="chroot \"\$1\" env DEBIAN_FRONTEND=noninteractive apt-get satisfy -y -qq --no-install-recommends '$deps' >/dev/null" \
        --customize-hook="sync-out /var/cache/apt/archives/ $cache/archives" \
        --customize-hook='rm -rf "$1"/var/cache/apt/archives/*.deb "$1"/var/lib/apt/lists/*' \
        "${hooks[@]}" \
        bookworm "$out" "deb $mirror bookworm main" "deb $mirror bookworm-updates main" \
        "deb http://deb.debian.org/debian-security bookworm-security main"
}
