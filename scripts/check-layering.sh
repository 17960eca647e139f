#!/usr/bin/env bash
# Fails when a folder includes a folder above it. The layers, lowest first; a layer may
# include itself and any layer listed before it, and nothing else of ours:
#   platform < asyncsock < smtpserver
#   platform < blocksock < tls, smtpclient
#   app (the relay core and the window) and shell sit on top, and the sendmail command on
#   the core; tests, bench and tools may include anything.
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A allowed=(
  [platform]="platform"
  [asyncsock]="platform asyncsock"
  [smtpserver]="platform asyncsock smtpserver"
  [blocksock]="platform blocksock"
  [tls]="platform blocksock tls"
  [smtpclient]="platform blocksock smtpclient"
  [shell]="platform shell"
  [app]="platform asyncsock smtpserver blocksock tls smtpclient shell app"
  [sendmail]="platform asyncsock smtpserver blocksock smtpclient app sendmail"
)
status=0
for folder in "${!allowed[@]}"; do
  while IFS= read -r line; do
    file=${line%%:*}
    target=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<< "$line")
    [ -d "$target" ] || continue # a system or third-party header
    if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
      echo "layering: $file includes $target/, a folder above $folder/" >&2
      status=1
    fi
  done < <(grep -Hn '#include "[^"]*/' "$folder"/*.cpp "$folder"/*.h 2> /dev/null || true)
done
# Nothing below the application knows Qt.
if grep -ln '#include <Q' platform/* asyncsock/* smtpserver/* blocksock/* tls/* smtpclient/* \
     sendmail/* app/account_editor.* app/credential_commands.* app/delivery* app/file_location.* app/local_peers.* app/message_text.* \
     app/relay_core* app/slot_ring.* app/spool.* app/string_list.* 2> /dev/null; then
  echo "layering: Qt below the window (files above)" >&2
  status=1
fi
[ $status -eq 0 ] && echo "layering: every include points down"
exit $status
