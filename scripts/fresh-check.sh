#!/usr/bin/env bash
# Follows the README on a fresh Debian 12: builds a minimal Debian 12 root with debootstrap
# from this machine's package source, puts a clone of this repository in it with only make
# and git added (the README's prerequisites), and as root inside it, timing each step:
#   1. `make run` until the program listens: what it installed (no MTA, no test tool);
#   2. `make package`, then both packages installed;
#   3. the installed program as root: /usr/sbin/sendmail before any relay ran (75, nothing
#      written), the relay started and stopped, a message with no relay (spooled), the relay
#      started again, a message through it, SIGTERM; no file left in /usr/bin;
#   4. with --test: `make test` as CI runs it (a missing peer fails), on this machine whose
#      MTA is now vantrosmtp-mta, which must still be it afterwards; each run's time.
# Not part of CI: it downloads a whole system (steps 1-3 about 15 minutes on two cores, step 4
# as long as CI).
#   sudo scripts/fresh-check.sh [--test] [work-folder]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
with_test=false
if [ "${1:-}" = --test ]; then
    with_test=true
    shift
fi
work=${1:-/var/tmp/vantro-fresh}
root="$work/root"
[ "$(id -u)" -eq 0 ] || { echo "run as root (debootstrap and chroot need it)" >&2; exit 1; }
command -v debootstrap > /dev/null || { apt-get update -qq; apt-get install -y -qq debootstrap; }
fail() { echo "FAILED: $*"; exit 1; }
in_root() { chroot "$root" bash -c "$1"; }
seconds_since() { echo $(($(date +%s) - $1)); }

# The mirror this machine installs from, so the check uses the same package source.
mirror=$( (sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources || true
           sed -n 's/^deb \+\(\[[^]]*\] \+\)\?\([^ ]\+\).*/\2/p' /etc/apt/sources.list || true) \
           2> /dev/null | grep -v security | head -1 || true)
mirror=${mirror:-http://deb.debian.org/debian}
# Everything mounted inside the root, deepest first: the bind mounts below, and what the
# tests mounted there (ip netns keeps /run/netns mounted).
cleanup() {
    local mounts
    mounts=$(findmnt -rn -o TARGET | grep "^$root/" | sort -r || true)
    for m in $mounts; do umount -l "$m" 2> /dev/null || true; done
}
echo "== debootstrap bookworm from $mirror into $root"
cleanup
rm -rf "$root"
mkdir -p "$work"
debootstrap --variant=minbase bookworm "$root" "$mirror" > "$work/debootstrap.log"
trap cleanup EXIT
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mount -t proc proc "$root/proc"
mount -t sysfs sys "$root/sys"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2> /dev/null || true
# The same apt settings as here (a pinned source may have an expired Release date).
cp /etc/apt/apt.conf.d/* "$root/etc/apt/apt.conf.d/" 2> /dev/null || true

echo "== the README's prerequisites: make and git"
in_root 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq make git > /dev/null'
git clone -q "$repo" "$root/src"
mtas_installed() {
    in_root "dpkg-query -W -f '\${db:Status-Abbrev} \${Package} \${Provides}\n'" |
        awk '/^ii / && /mail-transport-agent/ {print $2}'
}
[ -z "$(mtas_installed)" ] || fail "the fresh root already has an MTA"
installed_packages() {
    in_root "dpkg-query -W -f '\${db:Status-Abbrev} \${Package}\n'" | awk '/^ii / {print $2}' | sort
}
# What the prerequisites brought (git recommends openssh-client, which recommends xauth...).
installed_packages > "$work/packages-before"

echo "== 1. make run (ended once it listens)"
start=$(date +%s)
in_root 'cd /src && QT_QPA_PLATFORM=offscreen timeout --signal=TERM 30m make run' \
    > "$work/make-run.log" 2>&1 &
run=$!
for _ in $(seq 3600); do
    grep -q "listening on" "$work/make-run.log" && break
    kill -0 $run 2> /dev/null || break
    sleep 1
done
listened_after=$(seconds_since "$start")
grep "vantrosmtp:" "$work/make-run.log" || true
# The copy make run started, by its process id: any other copy on this machine goes on.
for proc in /proc/[0-9]*; do
    [ "$(readlink "$proc/exe" 2> /dev/null)" = "$root/src/build/app/vantrosmtp" ] &&
        kill -TERM "${proc#/proc/}"
done
wait $run || true
grep -q "listening on" "$work/make-run.log" || { tail -30 "$work/make-run.log"; fail "make run"; }
echo "make run: listening ${listened_after} s after the command"
[ -z "$(mtas_installed)" ] || fail "make run installed an MTA: $(mtas_installed)"
installed_packages > "$work/packages-after-run"
comm -13 "$work/packages-before" "$work/packages-after-run" > "$work/installed-by-run"
in_root 'cd /src && scripts/install-deps.sh --list test-only' | grep -v -x -E 'lib.*|python3' |
    sort > "$work/test-tools"
tools=$(comm -12 "$work/installed-by-run" "$work/test-tools")
[ -z "$tools" ] || fail "make run installed test tools: $tools"
echo "make run: installed $(wc -l < "$work/installed-by-run") packages, no MTA, no test tool"

echo "== 2. make package, and both packages installed"
start=$(date +%s)
in_root 'cd /src && make package' > "$work/make-package.log" 2>&1 || { tail -30 "$work/make-package.log"; fail "make package"; }
echo "make package: $(seconds_since "$start") s"
[ ! -e "$root/src/build/tests" ] || fail "make package built the tests"
in_root 'cd /src && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ./build/vantrosmtp_*_amd64.deb ./build/vantrosmtp-mta_*_amd64.deb' \
    > "$work/install.log" 2>&1 || { tail -20 "$work/install.log"; fail "installing the packages"; }
[ "$(mtas_installed)" = vantrosmtp-mta ] || fail "the MTA is $(mtas_installed)"

echo "== 3. the installed program as root"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
in_root 'find /usr/bin /usr/sbin | sort' > "$work/programs-before"
sendmail_as_root() { # subject, then what the log says
    in_root "cd / && printf 'Subject: $1\n\nfrom root\n' | VANTRO_TEST_PORT=$port /usr/sbin/sendmail root@example.org" \
        >> "$work/as-root.log" 2>&1
}
start_relay() {
    in_root "cd / && QT_QPA_PLATFORM=offscreen VANTRO_TEST_PORT=$port exec /usr/bin/vantrosmtp" \
        >> "$work/relay-as-root.log" 2>&1 &
    relay=$!
    for _ in $(seq 100); do grep -q "listening on" "$work/relay-as-root.log" && break; sleep 0.1; done
    grep -q "listening on" "$work/relay-as-root.log" || fail "the relay as root: $(cat "$work/relay-as-root.log")"
}
stop_relay() {
    for proc in /proc/[0-9]*; do
        [ "$(readlink "$proc/exe" 2> /dev/null)" = "$root/usr/bin/vantrosmtp" ] && kill -TERM "${proc#/proc/}"
    done
    wait $relay || fail "the relay's exit: $(cat "$work/relay-as-root.log")"
}
# Before any relay ran for root there is no spool a relay reads: refused for now (75), and
# nothing written.
status=0
sendmail_as_root "no relay yet" || status=$?
[ "$status" -eq 75 ] || fail "sendmail before any relay: status $status: $(cat "$work/as-root.log")"
[ ! -e "$root/root/.config/vantrosmtp" ] || fail "sendmail before any relay wrote root's files"
start_relay # it makes its files and its spool
stop_relay
sendmail_as_root "spooled" || fail "sendmail without a relay: $(cat "$work/as-root.log")"
start_relay # and sends what waits in its spool
sendmail_as_root "relayed" || fail "sendmail to the relay: $(cat "$work/as-root.log")"
stop_relay
grep "vantrosmtp:" "$work/relay-as-root.log" || true
in_root 'find /usr/bin /usr/sbin | sort' > "$work/programs-after"
left=$(comm -13 "$work/programs-before" "$work/programs-after")
[ -z "$left" ] || fail "files left among the programs: $left"
[ -f "$root/root/.config/vantrosmtp/brontalnow.ini" ] || fail "root's settings not in ~/.config/vantrosmtp"
echo "installed as root: 0 files added under /usr/bin and /usr/sbin; root's files:" \
     "$(ls "$root/root/.config/vantrosmtp" | tr '\n' ' ')"

$with_test || exit 0
echo "== 4. make test as CI runs it, vantrosmtp-mta the system's MTA"
# Each line stamped, so that each run's time can be read off.
in_root 'cd /src && bash .ci/run' 2>&1 | while IFS= read -r line; do
    printf '%s %s\n' "$(date +%s)" "$line"; done > "$work/make-test.log"
status=${PIPESTATUS[0]}
grep -E "tests passed|tests failed|test-offline:" "$work/make-test.log" || true
stamp() { grep -m1 -E "$1" "$work/make-test.log" | cut -d' ' -f1; }
begin=$(head -1 "$work/make-test.log" | cut -d' ' -f1)
plain=$(stamp 'cmake -S . -B build .*-DVANTRO_WERROR=ON')
plain_end=$(stamp 'Total Test time')
offline=$(stamp 'test-offline: ')
asan=$(stamp 'cmake -S . -B build-asan')
tsan=$(stamp 'cmake -S . -B build-tsan')
end=$(tail -1 "$work/make-test.log" | cut -d' ' -f1)
echo "make test: set-up and checks $((plain - begin)) s, plain $((plain_end - plain)) s, offline" \
     "$((offline - plain_end)) s, ASan $((tsan - asan)) s, TSan $((end - tsan)) s; $((end - begin)) s in all"
[ "$(mtas_installed)" = vantrosmtp-mta ] || fail "the MTA after make test is $(mtas_installed)"
[ "$(readlink -f "$root/usr/sbin/sendmail")" = "$root/usr/bin/vantrosmtp-sendmail" ] || fail "/usr/sbin/sendmail changed"
skipped=$(grep -c "EximUpstream.*Skipped" "$work/make-test.log" || true)
[ "$status" -eq 0 ] || { tail -40 "$work/make-test.log"; fail "make test"; }
echo "make test: PASSED; the MTA is still vantrosmtp-mta; exim tests skipped: $skipped"
