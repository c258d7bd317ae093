#!/usr/bin/env bash
# Installs the built tree into a scratch prefix and builds a small consumer
# against it twice: once through pkg-config, once through find_package.
set -euo pipefail
build="$1"; consumer="$2"; work="$3"
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
