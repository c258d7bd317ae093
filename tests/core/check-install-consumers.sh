#!/usr/bin/env bash
# Installs the built tree into a scratch prefix and builds a small consumer
# against it twice: once through pkg-config, once through find_package. Then
# the installed quenvar, run with a clean environment (no LD_LIBRARY_PATH),
# must find its library by its own search path: it runs the demo and takes a
# status from a virtual printer.
set -euo pipefail
build="$1"; consumer="$2"; work="$3"
source "$(dirname "$0")/../support/virtual-printer.sh"
trap stop_virtual_printer EXIT
rm -rf "$work"; mkdir -p "$work"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

pcdir=$(dirname "$(find "$prefix" -name quenvar.pc | head -n1)")
libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir quenvar)
cc $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags quenvar) "$consumer/consumer.c" -o "$work/by-pkg-config" \
   $(PKG_CONFIG_PATH="$pcdir" pkg-config --libs quenvar) -Wl,-rpath,"$libdir"
"$work/by-pkg-config"

cmake -S "$consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

tool="$prefix/bin/quenvar"
[ -x "$tool" ] || exit 0
env -i "$tool" demo >"$work/demo.log" 2>&1 || { echo "the installed quenvar demo failed:"; cat "$work/demo.log"; exit 1; }
echo "installed quenvar demo passed"
start_virtual_printer "$tool" "$work/printer.log"
env -i "$tool" status "tcp:$printer_address"
