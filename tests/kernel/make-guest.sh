#!/usr/bin/env bash
# Builds the guest for the kernel test from Debian packages: Debian's own kernel (the package
# linux-image-amd64 depends on) with its USB modules, udev's daemon and busybox, plus the
# library, the in-guest test program, the example that polls two boards (poll_boards) and the
# project's udev rule.
#
#   make-guest.sh CACHE BUILD_DIR
#
# CACHE keeps the downloaded packages, the unpacked kernel and its uncompressed vmlinux, so a
# second run downloads nothing. BUILD_DIR is the CMake build folder with libquorix.so.1 and
# tests/kernel/quorix_guest_test. Writes CACHE/vmlinux and CACHE/initramfs.cpio.
set -euo pipefail

cache=$(realpath -m "$1")
bin=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
mkdir -p "$cache/debs"

# ---- packages, once ----
kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null |
                 awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
if [[ -z $kernel_package ]]; then
  apt-get update -q >/dev/null
  kernel_package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
fi
for package in "$kernel_package" udev; do
  if ! ls "$cache/debs/${package}_"*.deb >/dev/null 2>&1; then
    echo "downloading $package"
    # apt's sandbox user may not write into the build tree.
    (cd "$cache/debs" && apt-get download -q "$package" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
    ls "$cache/debs/${package}_"*.deb >/dev/null
  fi
done

# Only what the guest is made of is unpacked: the kernel image, the USB modules and udevadm,
# not the whole kernel package (400 MB, nearly all of it modules the guest never loads).
modules="usb-common usbcore ehci-hcd ehci-pci xhci-hcd xhci-pci"
unpack() {  # package directory member-pattern...
  local deb directory=$2
  deb=$(ls "$cache/debs/${1}_"*.deb | head -1)
  shift 2
  if [[ ! -f "$directory/.from" || $(cat "$directory/.from") != "$deb $*" ]]; then
    rm -rf "$directory"
    mkdir -p "$directory"
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$directory" --wildcards "$@"
    echo "$deb $*" >"$directory/.from"
  fi
}
# shellcheck disable=SC2046
unpack "$kernel_package" "$cache/kernel" './boot/vmlinuz-*' \
       $(for module in $modules; do echo "*/$module.ko"; done)
unpack udev "$cache/udev" ./bin/udevadm

# The kernel boots as an uncompressed ELF through PVH, which saves decompressing it under
# software emulation at every boot: the XZ payload of the bzImage, unpacked once.
vmlinuz=$(ls "$cache"/kernel/boot/vmlinuz-* | head -1)
if [[ ! -s "$cache/vmlinux" || "$vmlinuz" -nt "$cache/vmlinux" ]]; then
  offset=$(python3 -c 'import sys; print(open(sys.argv[1], "rb").read().find(b"\xfd7zXZ\x00"))' "$vmlinuz")
  [[ $offset -ge 0 ]] || { echo "no XZ payload in $vmlinuz" >&2; exit 1; }
  # xz stops at the end of the payload, so tail may see a closed pipe.
  { tail -c +$((offset + 1)) "$vmlinuz" || true; } | xz -dc --single-stream >"$cache/vmlinux.part"
  mv "$cache/vmlinux.part" "$cache/vmlinux"
fi

# ---- the initramfs, every time: it holds the freshly built library ----
root="$cache/root"
rm -rf "$root"
mkdir -p "$root"/{bin,sbin,lib,lib64,proc,sys,dev,run,tmp,etc/udev,lib/modules,lib/udev/rules.d}
cp /bin/busybox "$root/bin/busybox"
for module in $modules; do
  found=$(find "$cache/kernel" -name "$module.ko" -print -quit)
  [[ -n $found ]] || { echo "the kernel package has no $module.ko" >&2; exit 1; }
  cp "$found" "$root/lib/modules/"
done
cp "$cache/udev/bin/udevadm" "$root/bin/udevadm"
ln -s udevadm "$root/bin/systemd-udevd"
cp "$source_dir/packaging/linux/60-quorix.rules" "$root/lib/udev/rules.d/"
cp -L "$bin/libquorix.so.1" "$bin/tests/kernel/quorix_guest_test" "$bin/examples/poll_boards" \
      "$root/bin/"
cp "$source_dir/examples/firmware/blink.hex" "$root/"
cp "$here/guest-init.sh" "$root/init"
chmod +x "$root/init"

# Every shared library the programs need, from the host, where the guest's loader looks.
for program in "$root/bin/udevadm" "$root/bin/quorix_guest_test" "$root/bin/libquorix.so.1"; do
  LD_LIBRARY_PATH="$root/bin" ldd "$program" | awk '/=> \// {print $3} /^\t\/lib64/ {print $1}'
done | sort -u | while read -r library; do
  [[ $library == "$root"/* ]] && continue
  cp -L "$library" "$root/lib/"
done
cp -L /lib64/ld-linux-x86-64.so.2 "$root/lib64/"

(cd "$root" && find . -print0 | cpio --null -o -H newc --quiet) >"$cache/initramfs.cpio.part"
mv "$cache/initramfs.cpio.part" "$cache/initramfs.cpio"
echo "guest ready: $cache/vmlinux $cache/initramfs.cpio ($(du -m "$cache/initramfs.cpio" | cut -f1) MB)"
