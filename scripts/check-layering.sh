#!/usr/bin/env bash
# Fails when a folder includes a folder above it. The layers, lowest first; a layer may
# include itself and any layer listed before it, and nothing else of ours:
#   platform < asyncsock < smtpserver
#   platform < blocksock < tls, smtpclient
#   platform < store (the spool, the retry records, where the files are)
#   app/core (the relay without its window) on all of them; app/window on it, shell and
#   platform alone (nothing of the protocols or the store past the core); the
#   program (app/) on top; the sendmail command on the store, the client and the server's
#   address syntax, not the relay;
#   tests, bench and tools may include anything.
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A allowed=(
  [platform]="platform"
  [asyncsock]="platform asyncsock"
  [smtpserver]="platform asyncsock smtpserver"
  [blocksock]="platform blocksock"
  [tls]="platform blocksock tls"
  [smtpclient]="platform blocksock smtpclient"
  [store]="platform store"
  [shell]="platform shell"
  [app/core]="platform asyncsock smtpserver blocksock smtpclient store app/core"
  [app/window]="platform shell app/core app/window"
  [app]="platform tls store shell app/core app/window"
  [sendmail]="platform asyncsock smtpserver blocksock smtpclient store sendmail"
)
status=0
for folder in "${!allowed[@]}"; do
  while IFS= read -r line; do
    file=${line%%:*}
    # The folder of the included file: app/core/x.h is in app/core, platform/x.h in platform.
    target=$(sed -E 's/.*#include "(([^/"]+\/)*)[^/"]+".*/\1/; s/\/$//' <<< "$line")
    [ -d "$target" ] || continue # a system or third-party header
    if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
      echo "layering: $file includes $target/, a folder above $folder/" >&2
      status=1
    fi
  done < <(grep -Hn '#include "[^"]*/' "$folder"/*.cpp "$folder"/*.h 2> /dev/null || true)
done
# Nothing below the window knows Qt: every folder but the window's, the shell's and the
# program's own.
if grep -ln '#include <Q' platform/* asyncsock/* smtpserver/* blocksock/* tls/* smtpclient/* \
     store/* sendmail/* app/core/* 2> /dev/null; then
  echo "layering: Qt below the window (files above)" >&2
  status=1
fi
[ $status -eq 0 ] && echo "layering: every include points down"
exit $status
