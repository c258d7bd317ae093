#!/usr/bin/env bash
# Fails when the library's dynamic symbol table defines any name but the twelve
# functions of the C interface, or lacks one of them.
set -euo pipefail
lib="$1"
expected="BeginCheckedBlock BeginCheckedBlockEx ClosePort EndCheckedBlock EndCheckedBlockEx GetOnlineStatus
GetParsedStatus GetParsedStatusEx OpenPort ReadPort ResetDevice WritePort"
actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
want=$(echo $expected | tr ' ' '\n' | sort)
if [ "$actual" != "$want" ]; then
  echo "exported symbols differ from the C interface:"
  diff <(echo "$want") <(echo "$actual") || true
  exit 1
fi
# Every one of them is a function with C linkage.
if nm -D --defined-only "$lib" | awk '{print $2}' | grep -qv '^T$'; then
  echo "an exported symbol is not a function"; exit 1
fi
soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libQuenvar.so.1" ] || { echo "SONAME is '$soname'"; exit 1; }
echo "twelve functions exported, SONAME $soname"
