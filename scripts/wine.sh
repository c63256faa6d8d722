#!/usr/bin/env bash
# Windows programs under Wine, headless, in the project's own prefix (build/wine, or
# $QUORIX_WINEPREFIX). With QUORIX_WINE_BOARDS=1, in the test boards' prefix instead
# (build/wine-boards, or $QUORIX_BOARD_WINEPREFIX; tests/windows/board/boards.sh).
#   wine.sh start            make the prefix if needed and start a persistent wineserver
#   wine.sh stop             stop the wineserver and whatever Wine left running
#   wine.sh run PROGRAM ...  run a Windows program, 32- or 64-bit
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [[ ${QUORIX_WINE_BOARDS:-} == 1 ]]; then
  export WINEPREFIX=${QUORIX_BOARD_WINEPREFIX:-$root/build/wine-boards}
else
  export WINEPREFIX=${QUORIX_WINEPREFIX:-$root/build/wine}
fi
# WINEDEBUG from the caller, for tracing (+plugplay,+ntoskrnl,+setupapi,+file); quiet otherwise.
export WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko download prompts, and no window.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
# Wine's PE files, of which a new prefix holds copies.
wine_builtins64=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
wine_builtins32=/usr/lib/i386-linux-gnu/wine/i386-windows

# Some kernels run no 32-bit programs (ia32 emulation off); Wine's 32-bit loader then runs
# under qemu's user-mode emulator, registered with binfmt_misc, slowly but really.
enable_32bit() {
  "$wine32" --version >/dev/null 2>&1 && return 0
  local qemu=/usr/bin/qemu-i386-static binfmt=/proc/sys/fs/binfmt_misc
  if [[ ! -x $qemu ]]; then
    echo "wine.sh: this kernel runs no 32-bit programs and qemu-user-static is missing" >&2
    return 1
  fi
  [[ -e $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt"
  if [[ ! -e $binfmt/qemu-i386 ]]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      >"$binfmt/register"
  fi
  echo "wine.sh: the kernel runs no 32-bit programs; 32-bit Wine runs under $qemu" >&2
  "$wine32" --version >/dev/null
}

# wineboot copies each of Wine's own DLLs and programs into the prefix (1.2 GB): put links to
# Wine's files in place of the copies that are identical, so a prefix takes some 40 MB. Wine
# opens them through the links as before; a file Wine rewrites later simply stays a copy.
link_builtins() {
  local windows=$WINEPREFIX/drive_c/windows before after file name builtin
  before=$(du -sm "$WINEPREFIX" | cut -f1)
  while IFS= read -r -d '' file; do
    name=${file##*/}
    for builtin in "$wine_builtins64/$name" "$wine_builtins32/$name"; do
      if [[ -f $builtin ]] && cmp -s "$file" "$builtin"; then
        ln -sf "$builtin" "$file"
        break
      fi
    done
  done < <(find "$windows" "$WINEPREFIX/drive_c/Program Files" "$WINEPREFIX/drive_c/Program Files (x86)" \
                -type f -size +0 -print0 2>/dev/null)
  after=$(du -sm "$WINEPREFIX" | cut -f1)
  touch "$WINEPREFIX/.quorix-links"
  echo "wine.sh: the prefix holds links to Wine's own files: $before MB -> $after MB"
}

case ${1:-} in
  start)
    enable_32bit
    mkdir -p "$WINEPREFIX"
    # A persistent server outlives its caller: it keeps none of the caller's output open. One
    # that runs already (its -p fails then) is kept.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    # The first start brings up Wine's services, which keep the output they were given open:
    # give them none, so that CTest's pipes close when a test ends.
    if [[ ! -e $WINEPREFIX/system.reg ]]; then
      echo "wine.sh: making the prefix $WINEPREFIX"
      "$wine64" wineboot -i </dev/null >/dev/null 2>&1
    fi
    # Also a prefix made before the links were.
    [[ -e $WINEPREFIX/.quorix-links ]] || link_builtins
    "$wine64" cmd /c exit </dev/null >/dev/null 2>&1
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
  run)
    shift
    program=$1
    shift
    # The PE header says which loader: machine 0x8664 is x64, 0x14c is x86.
    offset=$(od -An -t u4 -j 60 -N 4 "$program" | tr -d ' ')
    machine=$(od -An -t x2 -j $((offset + 4)) -N 2 "$program" | tr -d ' ')
    if [[ $machine == 8664 ]]; then exec "$wine64" "$program" "$@"; fi
    exec "$wine32" "$program" "$@"
    ;;
  *)
    echo "usage: wine.sh start | stop | run PROGRAM [ARGUMENTS...]" >&2
    exit 2
    ;;
esac
