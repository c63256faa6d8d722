#!/usr/bin/env bash
# scripts/ensure-packages.sh for a user who is not root: the command it prints works as
# printed, here with wine32:i386 on a machine where i386 is not enabled yet. dpkg, apt-get,
# sudo and id are stand-ins that log what they are asked.
set -euo pipefail
script=$(cd "$(dirname "$0")/.." && pwd)/scripts/ensure-packages.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
stub() { printf '#!/bin/sh\n%s\n' "$2" >"$work/bin/$1"; chmod +x "$work/bin/$1"; }
stub id 'echo 1000'
stub dpkg-query 'exit 1'
stub dpkg '[ "$1" = --print-foreign-architectures ] && exit 0
[ "$1" = --add-architecture ] && touch "$LOG.arch"
echo "dpkg $*" >>"$LOG"'
stub apt-get 'if [ "$1" = install ] && case " $* " in *:i386*) true;; *) false;; esac && [ ! -e "$LOG.arch" ]; then
  echo "E: the i386 architecture is not enabled" >&2; exit 100; fi
echo "apt-get $*" >>"$LOG"'
stub sudo 'exec "$@"'
export LOG=$work/log PATH=$work/bin:$PATH

status=0
"$script" cmake wine32:i386 2>"$work/printed" || status=$?
cat "$work/printed"
[[ $status -ne 0 ]] || { echo "FAIL: it should stop for a user who is not root"; exit 1; }
command=$(sed -n 's/^  sudo //p' "$work/printed")
grep -q "^  su -c '" "$work/printed" || { echo "FAIL: no command for a machine without sudo"; exit 1; }
eval "sudo $command" || { echo "FAIL: the printed command fails as printed"; exit 1; }
cat "$LOG"
expected="dpkg --add-architecture i386
apt-get update
apt-get install -y --no-install-recommends cmake wine32:i386"
[[ $(cat "$LOG") == "$expected" ]] || { echo "FAIL: expected the steps"; echo "$expected"; exit 1; }
echo "the printed command works as printed"
