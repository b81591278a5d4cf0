#!/bin/sh
# Builds the Debian package in a configured build directory and checks it without installing
# it on this machine: control data, file list, maintainer scripts, that apt can resolve its
# dependencies, and that the unpacked programs run.
#   packaging/check-package.sh BUILD_DIR
set -eu

build=${1:?usage: check-package.sh BUILD_DIR}
fail() { echo "check-package: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --build "$build" --target package >"$work/build.txt" 2>&1 || { cat "$work/build.txt" >&2; fail "the package did not build"; }
build=$(cd "$build" && pwd)
deb=$(ls -t "$build"/harborlock_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "no harborlock_*.deb in $build"
echo "check-package: $deb"

# Control data.
[ "$(dpkg-deb -f "$deb" Package)" = harborlock ] || fail "package name"
version=$(dpkg-deb -f "$deb" Version)
[ -n "$version" ] || fail "no version"
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libc6 libstdc++6 libqt6widgets6 libqt6svg6 libsystemd0 adduser; do
    echo "$depends" | grep -q "\b$dep\b" || fail "Depends lacks $dep: $depends"
done

# File list.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files"
for f in /usr/bin/harborlockd /usr/bin/harborlock-ctl /usr/bin/Harborlock \
         /usr/lib/harborlock/Harborlock /usr/lib/harborlock/BackupQuickStart.pdf \
         /usr/lib/harborlock/RestoreQuickStart.pdf \
         /usr/share/doc/harborlock/BackupQuickStart.pdf /usr/share/doc/harborlock/RestoreQuickStart.pdf \
         /usr/share/applications/harborlock.desktop \
         /usr/share/icons/hicolor/scalable/apps/harborlock.svg \
         /usr/lib/systemd/system/harborlockd.service /usr/lib/systemd/user/harborlockd.service \
         /usr/lib/sysusers.d/harborlock.conf \
         /usr/share/man/man8/harborlockd.8.gz /usr/share/man/man1/harborlock-ctl.1.gz \
         /usr/share/man/man1/Harborlock.1.gz; do
    grep -qx "$f" "$work/files" || fail "missing $f"
done
for size in 16 22 24 32 48 64 128 256; do
    grep -qx "/usr/share/icons/hicolor/${size}x${size}/apps/harborlock.png" "$work/files" ||
        fail "missing the ${size}x${size} icon"
done
# Nothing of the user's: no backup folder, no data root, nothing under /var or /home.
if grep -E '^/(var|home|root|tmp)/|HarborlockBackups|Quarnex/Harborlock' "$work/files"; then
    fail "the package carries user data paths"
fi

# Maintainer scripts: the service user is made, no backup folder is ever removed.
dpkg-deb -e "$deb" "$work/control"
for s in postinst prerm postrm; do
    [ -x "$work/control/$s" ] || fail "$s missing or not executable"
    sh -n "$work/control/$s" || fail "$s does not parse"
done
grep -q harborlock "$work/control/postinst" || fail "postinst does not create the service user"
if grep -E '\brm\b|rmdir|deluser|userdel' "$work/control/postrm" "$work/control/prerm"; then
    fail "a removal script deletes files or users"
fi

# apt can resolve the dependencies on this system (simulation only: nothing is installed).
if command -v apt-get >/dev/null 2>&1; then
    apt-get install -s -q "$deb" >"$work/apt.txt" 2>&1 || { cat "$work/apt.txt" >&2; fail "apt cannot resolve the dependencies"; }
fi

# Unpacked into a throw-away root, the programs run and their pages format.
dpkg -x "$deb" "$work/root"
out=$("$work/root/usr/bin/harborlockd" --version) || fail "harborlockd --version failed"
[ "$out" = "harborlockd (Harborlock) $version" ] || fail "harborlockd --version says: $out"
"$work/root/usr/bin/harborlock-ctl" --version >/dev/null || fail "harborlock-ctl --version failed"
[ "$(readlink "$work/root/usr/bin/Harborlock")" = ../lib/harborlock/Harborlock ] || fail "Harborlock link"
for page in man8/harborlockd.8.gz man1/harborlock-ctl.1.gz man1/Harborlock.1.gz; do
    gzip -dc "$work/root/usr/share/man/$page" | grep -q '^\.TH ' || fail "$page is not a manual page"
    if command -v groff >/dev/null 2>&1; then
        warnings=$(gzip -dc "$work/root/usr/share/man/$page" | groff -man -Tutf8 -ww -z 2>&1)
        [ -z "$warnings" ] || fail "$page: $warnings"
    fi
done
grep -q '^Type=notify' "$work/root/usr/lib/systemd/user/harborlockd.service" || fail "user unit type"
grep -q '^User=harborlock' "$work/root/usr/lib/systemd/system/harborlockd.service" || fail "system unit user"
echo "check-package: ok ($(wc -l <"$work/files") entries)"
