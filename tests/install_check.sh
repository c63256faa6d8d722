#!/bin/sh
# Installs the build tree into a prefix of its own and uses it as another project would:
# CMake's find_package, pkg-config, the Python package, the udev rule.
#   install_check.sh BUILD_DIR SOURCE_DIR WORK_DIR LIBDIR
set -eu
build=$1 source=$2 work=$3 libdir=$4
prefix=$work/prefix
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" > "$work/install.log"

test -e "$prefix/$libdir/libquorix.so.1"
test -e "$prefix/$libdir/libquorix-sim.so.1"
grep -q 'ATTR{idVendor}=="dead", ATTR{idProduct}=="beef", TAG+="uaccess"' \
  "$prefix/lib/udev/rules.d/60-quorix.rules"
# Only the API leaves the library.
exported=$(nm -D --defined-only "$prefix/$libdir/libquorix.so.1" | awk '$2 == "T" { print $3 }' | sort)
test "$(echo "$exported" | grep -c '^Quorix')" -eq 18
test "$(echo "$exported" | grep -vc '^Quorix' || true)" -eq 0
test "$(readelf -d "$prefix/$libdir/libquorix.so.1" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')" = libquorix.so.1

cmake -S "$source/examples/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  > "$work/configure.log"
cmake --build "$work/consumer" > "$work/build.log"
"$work/consumer/consumer"

PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs quorix-sim
echo "pkg-config version $(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --modversion quorix)"

PYTHONPATH="$prefix/lib/python3/dist-packages" QUORIX_LIBRARY="$prefix/$libdir/libquorix-sim.so.1" \
  /usr/bin/python3 -B -c 'import quorix; print("python:", quorix.count(), quorix.serial(0))'
