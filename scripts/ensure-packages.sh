#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are missing. As root it runs
# apt-get; otherwise it prints the apt-get line to run and fails.
set -euo pipefail

missing=()
for package in "$@"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

line="apt-get install -y --no-install-recommends ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "Missing Debian packages. Run as root:" >&2
  echo "  apt-get update && $line" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Packages of another architecture (wine32:i386) need it enabled first.
for package in "${missing[@]}"; do
  arch=${package#*:}
  [[ $arch != "$package" ]] || continue
  dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
done
apt-get update -q
$line
