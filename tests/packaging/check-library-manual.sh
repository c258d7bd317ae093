#!/usr/bin/env bash
# libquenvar(3) is written by hand: it must show every exported function (the
# version script's list) in its synopsis and describe it under FUNCTIONS.
#   check-library-manual.sh <libquenvar.3> <quenvar.map>
set -euo pipefail
page=$1 map=$2
functions=$(sed -n 's/^ *\([A-Za-z]*\);$/\1/p' "$map")
[ "$(echo "$functions" | wc -l)" -eq 12 ] || { echo "expected twelve functions in $map"; exit 1; }
described=$(sed -n '/^\.SH FUNCTIONS/,/^\.SH /s/^\.SS //p' "$page" | tr ',' '\n' | tr -d ' ')
for f in $functions; do
  grep -q "^\.BI \"[a-z *]*$f(" "$page" || { echo "$f is missing from the synopsis of $page"; exit 1; }
  echo "$described" | grep -qx "$f" || { echo "$f is not described under FUNCTIONS in $page"; exit 1; }
done
echo "all twelve functions in the synopsis and under FUNCTIONS"
