#!/usr/bin/env bash
# The test boards' Wine prefix (scripts/wine.sh with QUORIX_WINE_BOARDS=1), kept apart from
# the prefix whose tests expect to find no board.
#   boards.sh install INSTALLER DRIVER COUNT   makes the prefix if needed, starts a fresh
#                                              wineserver and installs COUNT boards
#   boards.sh remove INSTALLER                 removes the boards and stops the wineserver
set -euo pipefail

root=$(cd "$(dirname "$0")/../../.." && pwd)
export QUORIX_WINE_BOARDS=1
wine=$root/scripts/wine.sh

case ${1:-} in
  install)
    installer=$2 driver=$3 count=$4
    "$wine" start
    # Under the wineserver of a prefix's first boot the service fails to start for up to a
    # minute; under a new one it starts at once.
    "$wine" stop
    "$wine" start
    # 3: the prefix still had boards (a run that did not end cleanly), which Wine loaded with
    # its new wineserver and cannot unload: they are out of the prefix now, so again.
    for attempt in 1 2 3; do
      status=0
      "$wine" run "$installer" install "Z:$driver" "$count" </dev/null || status=$?
      [[ $status -eq 3 ]] || exit $status
      "$wine" stop
      "$wine" start
    done
    exit 1
    ;;
  remove)
    status=0
    "$wine" run "$2" remove </dev/null || status=$?
    "$wine" stop
    exit $status
    ;;
  *)
    echo "usage: boards.sh install INSTALLER DRIVER COUNT | remove INSTALLER" >&2
    exit 2
    ;;
esac
