#!/usr/bin/env bash
# Proves that the README's two commands work on a fresh Debian 12: builds a minimal Debian 12
# root with debootstrap from this machine's package source, puts a clone of this repository in
# it with only make and git added (the README's prerequisites), and runs `make run` (the
# program is ended after it listens) and `make test` inside it as root. Not part of CI: it
# downloads a whole system and builds everything twice (about an hour on 2 cores).
#   sudo scripts/fresh-check.sh [work-folder]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/var/tmp/vantro-fresh}
root="$work/root"
[ "$(id -u)" -eq 0 ] || { echo "run as root (debootstrap and chroot need it)" >&2; exit 1; }
command -v debootstrap > /dev/null || { apt-get update -qq; apt-get install -y -qq debootstrap; }

# The mirror this machine installs from, so the check uses the same package source.
mirror=$( (sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources || true
           sed -n 's/^deb \+\(\[[^]]*\] \+\)\?\([^ ]\+\).*/\2/p' /etc/apt/sources.list || true) \
           2> /dev/null | grep -v security | head -1 || true)
mirror=${mirror:-http://deb.debian.org/debian}
echo "== debootstrap bookworm from $mirror into $root"
rm -rf "$root"
mkdir -p "$work"
debootstrap --variant=minbase bookworm "$root" "$mirror" > "$work/debootstrap.log"

cleanup() {
    for m in dev/pts dev proc sys; do umount -l "$root/$m" 2> /dev/null || true; done
}
trap cleanup EXIT
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mount -t proc proc "$root/proc"
mount -t sysfs sys "$root/sys"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2> /dev/null || true
# The same apt settings as here (a pinned source may have an expired Release date).
cp /etc/apt/apt.conf.d/* "$root/etc/apt/apt.conf.d/" 2> /dev/null || true

echo "== the README's prerequisites: make and git"
chroot "$root" bash -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq make git > /dev/null'
git clone -q "$repo" "$root/src"

echo "== make run (ended once it listens)"
chroot "$root" bash -c 'cd /src && QT_QPA_PLATFORM=offscreen timeout --signal=TERM 30m make run' \
    > "$work/make-run.log" 2>&1 &
run=$!
for _ in $(seq 3600); do
    grep -q "listening on" "$work/make-run.log" && break
    kill -0 $run 2> /dev/null || break
    sleep 1
done
grep "vantrosmtp:" "$work/make-run.log" || true
# The copy make run started, by its process id: any other copy on this machine goes on.
for proc in /proc/[0-9]*; do
    [ "$(readlink "$proc/exe" 2> /dev/null)" = "$root/src/build/app/vantrosmtp" ] &&
        kill -TERM "${proc#/proc/}"
done
wait $run || true
grep -q "listening on" "$work/make-run.log" || { tail -30 "$work/make-run.log"; echo "make run: FAILED"; exit 1; }
echo "make run: the program built, started and listened"

echo "== make test"
if chroot "$root" bash -c 'cd /src && make test' > "$work/make-test.log" 2>&1; then
    grep -E "tests passed|tests failed" "$work/make-test.log"
    echo "make test: PASSED"
else
    tail -40 "$work/make-test.log"
    echo "make test: FAILED"
    exit 1
fi
