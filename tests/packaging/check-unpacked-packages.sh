#!/usr/bin/env bash
# Unpacks the Debian packages into a scratch root (dpkg-deb -x: the files as
# they would lie on a system) and uses that root alone: the packaged quenvar
# runs the demo and plays the printer; a C program built through pkg-config
# and a Python program using the packaged module take its status, a C++
# program built through find_package(Quenvar) and a Java program compiled
# against quenvar.jar each print a confirmed job. Every program runs with a
# clean environment and must load libQuenvar.so.1 from the root.
#   check-unpacked-packages.sh <directory of .deb files> <scratch directory> <javac> <java>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
debs=$1 work=$2 javac_exe=$3 java_exe=$4
source "$here/../support/virtual-printer.sh"
trap stop_virtual_printer EXIT

rm -rf "$work"
mkdir -p "$work"
root="$work/root"
shopt -s nullglob
packages=("$debs"/*.deb)
[ ${#packages[@]} -gt 0 ] || { echo "no packages in $debs"; exit 1; }
for deb in "${packages[@]}"; do dpkg-deb -x "$deb" "$root"; done
libdir="$root/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
tool="$root/usr/bin/quenvar"

# Fails unless the program (not run: the loader only lists what it would
# load) takes libQuenvar.so.1 from the root.
loads_from_root() {
  local from
  from=$(env -i LD_TRACE_LOADED_OBJECTS=1 "$1" | awk '$1 == "libQuenvar.so.1" { print $3 }')
  [ -n "$from" ] && from=$(realpath "$from")
  [ "$from" = "$(realpath "$libdir/libQuenvar.so.1")" ] ||
    { echo "$1 loads libQuenvar.so.1 from '${from:-nowhere}', not from $libdir"; exit 1; }
}

"$here/check-manual-pages.sh" "$root/usr/share/man/man1/quenvar.1.gz" "$root/usr/share/man/man3/libquenvar.3.gz"
[ -f "$root/usr/lib/udev/rules.d/60-quenvar.rules" ] || { echo "the udev rule is not packaged"; exit 1; }

loads_from_root "$tool"
env -i "$tool" demo >"$work/demo.log" 2>&1 || { echo "the packaged quenvar demo failed:"; cat "$work/demo.log"; exit 1; }
echo "packaged quenvar demo passed"
start_virtual_printer "$tool" "$work/printer.log"
port="TCP:$printer_address"

# C through pkg-config, which sees the root's .pc file and no other.
pc() { PKG_CONFIG_PATH= PKG_CONFIG_LIBDIR="$libdir/pkgconfig" pkg-config "$@" quenvar; }
cc -std=c99 -Wall -Wextra -Werror -pedantic $(pc --cflags) "$here/consumer/status.c" -o "$work/status" \
   $(pc --libs) -Wl,-rpath,"$(pc --variable=libdir)"
loads_from_root "$work/status"
env -i "$work/status" "$port"

# Python through the packaged module, which must load the root's library.
env -i /usr/bin/python3 "$here/consumer/status.py" "$root/usr/lib/python3/dist-packages" "$libdir/libQuenvar.so.1" "$port"

# C++ through find_package, with the system's package locations shut out.
cmake -S "$here/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$root/usr" \
      -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log"; exit 1; }
grep -q "Quenvar from $libdir/cmake/Quenvar" "$work/cmake.log" ||
  { echo "find_package(Quenvar) did not take the root's package:"; cat "$work/cmake.log"; exit 1; }
cmake --build "$work/cmake-build" >"$work/cmake-build.log" 2>&1 || { cat "$work/cmake-build.log"; exit 1; }
loads_from_root "$work/cmake-build/job"
env -i "$work/cmake-build/job" "$port"

# Java through the jar's place in /usr/share/java, which links to the jar
# beside libHalvornJ.so.1.
jar="$root/usr/share/java/quenvar.jar"
mkdir "$work/java"
"$javac_exe" -Xlint:all -Werror -cp "$jar" -d "$work/java" "$here/consumer/PrintReceipt.java"
env -i "$java_exe" -cp "$jar:$work/java" PrintReceipt "$port"

stop_virtual_printer
for who in "C++" Java; do
  grep -q "printed: printed by the $who consumer" "$work/printer.log" ||
    { echo "the virtual printer did not print the $who consumer's job:"; cat "$work/printer.log"; exit 1; }
done
echo "the packages work from $root alone"
