#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are missing. As root it runs
# apt-get; otherwise it prints the commands to run as root, exactly as they work, and fails.
set -euo pipefail

missing=()
for package in "$@"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

# Packages of another architecture (wine32:i386) need it enabled before apt-get update.
steps=()
for package in "${missing[@]}"; do
  arch=${package#*:}
  [[ $arch != "$package" ]] || continue
  dpkg --print-foreign-architectures | grep -qx "$arch" && continue
  [[ " ${steps[*]} " == *" dpkg --add-architecture $arch "* ]] || steps+=("dpkg --add-architecture $arch")
done
steps+=("apt-get update" "apt-get install -y --no-install-recommends ${missing[*]}")

if [[ $(id -u) -ne 0 ]]; then
  line=""
  for step in "${steps[@]}"; do line+="${line:+ && }$step"; done
  echo "Missing Debian packages. Run as root:" >&2
  echo "  sudo sh -c '$line'" >&2
  echo "or, where there is no sudo (a minimal Debian has none), with root's password:" >&2
  echo "  su -c '$line'" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
for step in "${steps[@]}"; do
  if [[ $step == "apt-get update" ]]; then $step -q; else $step; fi
done
