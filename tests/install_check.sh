#!/bin/sh
# Installs the build tree into a prefix of its own and uses it as another project would:
# CMake's find_package, pkg-config, the Python package, the udev rule. Nothing is set in the
# environment for the libraries to be found: ldconfig never ran for this prefix.
#   install_check.sh BUILD_DIR SOURCE_DIR WORK_DIR LIBDIR PYTHON_DIR
set -eu
build=$1 source=$2 work=$3 libdir=$4 pythondir=$5
unset QUORIX_LIBRARY LD_LIBRARY_PATH
prefix=$work/prefix
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" > "$work/install.log"

test -e "$prefix/$libdir/libquorix.so.1"
test -e "$prefix/$libdir/libquorix-sim.so.1"
test -e "$prefix/share/doc/Quorix/LICENSE"
grep -q 'ATTR{idVendor}=="dead", ATTR{idProduct}=="beef", TAG+="uaccess"' \
  "$prefix/lib/udev/rules.d/60-quorix.rules"
# Only the API leaves the library.
exported=$(nm -D --defined-only "$prefix/$libdir/libquorix.so.1" | awk '$2 == "T" { print $3 }' | sort)
# Exactly the functions quorix.h declares.
declared=$(grep -ho 'QUORIX_CALL Quorix[A-Za-z]*' "$source/include/quorix/quorix.h" | sed 's/QUORIX_CALL //' | sort)
test "$(echo "$exported" | grep '^Quorix')" = "$declared"
test "$(echo "$exported" | grep -vc '^Quorix' || true)" -eq 0
test "$(readelf -d "$prefix/$libdir/libquorix.so.1" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')" = libquorix.so.1

cmake -S "$source/examples/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  > "$work/configure.log"
cmake --build "$work/consumer" > "$work/build.log"
"$work/consumer/consumer"

PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs quorix-sim
echo "pkg-config version $(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --modversion quorix)"

grep -q '^License: MIT$' "$prefix/$libdir/pkgconfig/quorix.pc"

# The tool's manual page, its bash completion and the schema of its JSON documents.
test -s "$prefix/share/man/man1/quorix.1"
grep -q '^\.TH QUORIX 1 ' "$prefix/share/man/man1/quorix.1"
test -s "$prefix/share/bash-completion/completions/quorix"
bash -c '. "$1"; COMP_WORDS=(quorix eeprom ""); COMP_CWORD=2; _quorix; echo "${COMPREPLY[*]}"' \
  sh "$prefix/share/bash-completion/completions/quorix" | grep -qx 'read write dump restore'
test -s "$prefix/share/quorix/quorix.schema.json"

# The tool loads the native library from beside itself.
"$prefix/bin/quorix" list > /dev/null && echo "tool: the native library loaded"

PYTHONPATH="$prefix/$pythondir" /usr/bin/python3 -B -c \
  'import quorix; quorix.load(simulated=True); print("python:", quorix.count(), quorix.serial(0))'
PYTHONPATH="$prefix/$pythondir" /usr/bin/python3 -B -c \
  'import quorix; from quorix import _api; quorix.count(); print("python, native:", _api.library().path)'
