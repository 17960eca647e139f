#!/usr/bin/env bash
# An installation and the Debian package: the tree in a DESTDIR, the desktop entries and the
# metainfo validated, the package's files, dependencies and post-install step, and the user
# unit's command run as systemd would run it, ended by SIGTERM with the files saved.
#   test_install.sh <build-dir> <part: tree|package|unit>
set -euo pipefail
build=$1
part=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

install_tree() {
    DESTDIR="$work/root" cmake --install "$build" --prefix /usr > "$work/install.log"
}

case "$part" in
tree)
    install_tree
    for f in usr/bin/vantrosmtp usr/bin/vantrosmtp-sendmail usr/share/vantrosmtp/kalvex.eml \
             usr/share/applications/vantrosmtp.desktop \
             usr/share/vantrosmtp/vantrosmtp-autostart.desktop \
             usr/share/metainfo/io.vantro.VantroSMTP.metainfo.xml \
             usr/share/icons/hicolor/scalable/apps/vantrosmtp.svg \
             usr/share/icons/hicolor/16x16/apps/vantrosmtp.png \
             usr/share/icons/hicolor/48x48/apps/vantrosmtp.png \
             usr/share/icons/hicolor/256x256/apps/vantrosmtp.png \
             usr/lib/systemd/user/vantrosmtp.service usr/share/doc/vantrosmtp/README.md; do
        [ -f "$work/root/$f" ] || fail "missing $f"
    done
    [ -x "$work/root/usr/bin/vantrosmtp" ] || fail "program not executable"
    for link in usr/sbin/sendmail usr/lib/sendmail usr/bin/mailq; do
        [ "$(readlink -f "$work/root/$link")" = "$work/root/usr/bin/vantrosmtp-sendmail" ] ||
            fail "$link does not lead to the sendmail command"
    done
    # Nothing of the tests or the benchmarks goes into an installation.
    extra=$(cd "$work/root" && find . -type f | grep -v -E '^\./usr/(bin/vantrosmtp|share/(vantrosmtp|applications|metainfo|icons|doc/vantrosmtp(-mta)?|man/man1|lintian/overrides)/|lib/systemd/user/vantrosmtp.service)' || true)
    [ -z "$extra" ] || fail "unexpected files: $extra"
    desktop-file-validate "$work/root/usr/share/applications/vantrosmtp.desktop"
    desktop-file-validate "$work/root/usr/share/vantrosmtp/vantrosmtp-autostart.desktop"
    grep -q '^Name\[zh_CN\]=VantroSMTP服务器$' "$work/root/usr/share/applications/vantrosmtp.desktop" || fail "no Chinese name"
    grep -q '^Categories=Network;Email;$' "$work/root/usr/share/applications/vantrosmtp.desktop" || fail "categories"
    appstreamcli validate --no-net "$work/root/usr/share/metainfo/io.vantro.VantroSMTP.metainfo.xml"
    grep -q '^ExecStart=/usr/bin/vantrosmtp$' "$work/root/usr/lib/systemd/user/vantrosmtp.service" || fail "unit's ExecStart"
    echo "tree ok"
    ;;
package)
    (cd "$build" && cpack -G DEB -B "$work/pkg" > "$work/cpack.log") || { cat "$work/cpack.log"; fail "cpack"; }
    deb=$(ls "$work"/pkg/vantrosmtp_*_amd64.deb)
    dpkg-deb -c "$deb" > "$work/contents"
    for f in ./usr/bin/vantrosmtp ./usr/share/applications/vantrosmtp.desktop \
             ./usr/share/icons/hicolor/scalable/apps/vantrosmtp.svg \
             ./usr/lib/systemd/user/vantrosmtp.service ./usr/share/vantrosmtp/kalvex.eml; do
        grep -q " $f\$" "$work/contents" || fail "package lacks $f"
    done
    depends=$(dpkg-deb -f "$deb" Depends)
    for d in libqt6widgets6 libssl3 libcap2-bin libasound2 libjpeg62-turbo qt6-qpa-plugins; do
        [[ "$depends" == *"$d"* ]] || fail "Depends lacks $d: $depends"
    done
    dpkg-deb -e "$deb" "$work/control"
    [ -x "$work/control/postinst" ] || fail "no post-install step"
    grep -q 'setcap cap_net_bind_service=+ep /usr/bin/vantrosmtp' "$work/control/postinst" || fail "postinst grants nothing"
    grep -q " ./usr/bin/vantrosmtp-sendmail\$" "$work/contents" || fail "package lacks the sendmail command"
    ! grep -q "sbin/sendmail" "$work/contents" || fail "the main package claims /usr/sbin/sendmail"
    # The MTA package: the three links, and Debian's relations for an MTA.
    mta=$(ls "$work"/pkg/vantrosmtp-mta_*_amd64.deb)
    dpkg-deb -c "$mta" > "$work/mta-contents"
    grep -q " ./usr/sbin/sendmail -> ../bin/vantrosmtp-sendmail\$" "$work/mta-contents" || fail "no sendmail link"
    grep -q " ./usr/lib/sendmail -> ../sbin/sendmail\$" "$work/mta-contents" || fail "no /usr/lib/sendmail link"
    grep -q " ./usr/bin/mailq -> vantrosmtp-sendmail\$" "$work/mta-contents" || fail "no mailq link"
    grep -q " ./usr/share/man/man8/sendmail.8.gz -> ../man1/vantrosmtp-sendmail.1.gz\$" "$work/mta-contents" || fail "no sendmail(8) page"
    grep -q " ./usr/share/man/man1/mailq.1.gz -> vantrosmtp-sendmail.1.gz\$" "$work/mta-contents" || fail "no mailq(1) page"
    for f in copyright changelog.Debian.gz; do
        grep -q " ./usr/share/doc/vantrosmtp-mta/$f\$" "$work/mta-contents" || fail "the MTA package lacks its $f"
    done
    # Its links, their manual pages, its copyright, changelog and lintian note: nothing more.
    [ "$(grep -c -v '/$' "$work/mta-contents")" -eq 8 ] || fail "the MTA package holds more than its links"
    for field in Provides Conflicts Replaces; do
        [ "$(dpkg-deb -f "$mta" "$field")" = mail-transport-agent ] || fail "MTA package's $field"
    done
    [ "$(dpkg-deb -f "$mta" Depends)" = "vantrosmtp (= $(dpkg-deb -f "$deb" Version))" ] || fail "MTA Depends"
    # Debian's documents, the manual pages, an extended description.
    for f in ./usr/share/doc/vantrosmtp/copyright ./usr/share/doc/vantrosmtp/changelog.Debian.gz \
             ./usr/share/man/man1/vantrosmtp.1.gz ./usr/share/man/man1/vantrosmtp-sendmail.1.gz; do
        grep -q " $f\$" "$work/contents" || fail "package lacks $f"
    done
    dpkg-deb -f "$deb" Description | sed -n '2p' | grep -q '^ Local mail programs submit' || fail "no extended description"
    grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
        "$(dirname "$0")/../../dist/debian/copyright" || fail "copyright not machine-readable"
    # Stripped, with the debug symbols in a file of their own found by the build id.
    dpkg-deb -x "$deb" "$work/unpacked"
    ! readelf -S "$work/unpacked/usr/bin/vantrosmtp" | grep -q '\.debug_info' || fail "the packaged program is not stripped"
    id=$(readelf -n "$work/unpacked/usr/bin/vantrosmtp" | sed -n 's/^ *Build ID: *//p')
    "$(dirname "$0")/../../scripts/debug-symbols.sh" "$build" > /dev/null
    readelf -S "$build/debug-symbols/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" | grep -q '\.debug_info' ||
        fail "no debug symbols for build id $id"
    readelf -d "$work/unpacked/usr/bin/vantrosmtp" | grep -q 'BIND_NOW' || fail "not linked with -z now"
    # lintian, where it is installed, on an optimised build (a sanitizer build is no release).
    if command -v lintian > /dev/null && ! grep -qE '^VANTRO_(SANITIZE|TSAN):BOOL=ON' "$build/CMakeCache.txt"; then
        lintian --fail-on error,warning --tag-display-limit 0 "$deb" "$mta" > "$work/lintian.log" 2>&1 ||
            fail "lintian: $(cat "$work/lintian.log")"
        ! grep -qE '^(E|W): ' "$work/lintian.log" || fail "lintian reports errors or warnings"
        echo "lintian: no error, no warning"
    fi
    echo "package ok: $(wc -l < "$work/contents") entries, the MTA package's links and relations"
    ;;
unit)
    install_tree
    unit="$work/root/usr/lib/systemd/user/vantrosmtp.service"
    exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
    environment=$(sed -n 's/^Environment=//p' "$unit")
    [ "$environment" = "QT_QPA_PLATFORM=offscreen" ] || fail "unit environment: $environment"
    [ "$(sed -n 's/^KillSignal=//p' "$unit")" = SIGTERM ] || fail "unit's stop signal"
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    mkdir -p "$work/home"
    # As systemd starts it: the unit's environment and command (the test's own port only).
    # A sanitizer build keeps its options (suppressions) across the cleared environment.
    sanitizer=()
    for v in TSAN_OPTIONS ASAN_OPTIONS UBSAN_OPTIONS; do
        [ -n "${!v:-}" ] && sanitizer+=("$v=${!v}")
    done
    env -i HOME="$work/home" PATH=/usr/bin:/bin "${sanitizer[@]}" $environment VANTRO_TEST_PORT=$port \
        "$work/root$exec_start" 2> "$work/stderr" &
    pid=$!
    for _ in $(seq 100); do
        python3 -c "import socket; socket.create_connection(('127.0.0.1',$port),1)" 2>/dev/null && break
        sleep 0.1
    done
    grep -q "listening on 127.0.0.1 port $port" "$work/stderr" || fail "never listened: $(cat "$work/stderr")"
    kill -TERM $pid
    status=0
    wait $pid || status=$?
    [ $status -eq 0 ] || fail "exit status $status after SIGTERM"
    # Installed: the files are the user's, in their folder, whoever runs it (this test may be
    # root, who could write usr/bin); the program's folder is left as the package made it.
    for f in brontalnow.ini brontalhao.ini good.ini bad.ini; do
        [ -f "$work/home/.config/vantrosmtp/$f" ] || fail "$f not saved in ~/.config/vantrosmtp"
    done
    extra=$(cd "$work/root/usr/bin" && ls -A | grep -v -x -e vantrosmtp -e vantrosmtp-sendmail -e mailq || true)
    [ -z "$extra" ] || fail "files left beside the installed program: $extra"
    # Only targets a user manager has (verify itself says nothing of a target it lacks).
    for target in $(grep -v '^#' "$unit" | grep -oE '[[:alnum:]_.@-]+\.target' | sort -u); do
        [ -f "/usr/lib/systemd/user/$target" ] || fail "a user manager has no $target"
    done
    # systemd's own check, of a copy whose command is the one installed here.
    sed "s|^ExecStart=|ExecStart=$work/root|" "$unit" > "$work/vantrosmtp.service"
    mkdir -m 0700 "$work/runtime"
    analyzed=$(XDG_RUNTIME_DIR="$work/runtime" systemd-analyze --user --man=no verify \
        "$work/vantrosmtp.service" 2>&1) || fail "systemd-analyze: $analyzed"
    [ -z "$analyzed" ] || fail "systemd-analyze: $analyzed"
    echo "unit ok"
    ;;
*) fail "unknown part $part" ;;
esac
