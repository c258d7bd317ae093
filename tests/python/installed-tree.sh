#!/usr/bin/env bash
# Installs the build into a fresh prefix and uses the Python package from
# there with a clean environment (env -i: no PYTHONPATH, no LD_LIBRARY_PATH):
# the package must load the installed libQuenvar.so.1 by its own place. Runs
# the README's Python example as written (only the printer's address is that
# of this test's virtual printer) and python3 -m quenvar status.
#   installed-tree.sh <cmake> <build dir> <quenvar tool> <python3> <README.md>
set -euo pipefail

cmake_exe=$1 build_dir=$2 tool=$3 python=$4 readme=$5

work=$(mktemp -d)
printer_pid=
cleanup() {
  if [ -n "$printer_pid" ]; then
    kill "$printer_pid" 2>/dev/null || true
    wait "$printer_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

"$cmake_exe" --install "$build_dir" --prefix "$work/prefix" >/dev/null
init=$(find "$work/prefix" -path '*/dist-packages/quenvar/__init__.py' -print -quit)
[ -n "$init" ] || { echo "the package quenvar was not installed into a dist-packages directory"; exit 1; }
site=$(dirname "$(dirname "$init")")
for file in py.typed _status_record.py _location.py; do
  [ -e "$site/quenvar/$file" ] || { echo "$file is not installed in $site/quenvar"; exit 1; }
done

# The example: the first indented block of the README that imports quenvar.
awk '/^    import quenvar$/ {inside = 1} inside && !/^    / {exit} inside {print substr($0, 5)}' "$readme" \
  >"$work/example.py"
[ -s "$work/example.py" ] || { echo "no Python example in $readme"; exit 1; }
[ "$(wc -l <"$work/example.py")" -le 5 ] || { echo "the README's Python example is longer than five lines"; exit 1; }

"$tool" emulate --output "$work/printed.bin" >"$work/printer.log" 2>&1 </dev/null &
printer_pid=$!
address=
for _ in $(seq 200); do
  address=$(sed -n 's/^listening on //p' "$work/printer.log")
  [ -n "$address" ] && break
  kill -0 "$printer_pid" 2>/dev/null || break
  sleep 0.05
done
[ -n "$address" ] || { echo "the virtual printer did not start:"; cat "$work/printer.log"; exit 1; }
example_address=$(grep -o 'tcp:[0-9.]*' "$work/example.py" | head -n 1)
[ -n "$example_address" ] || { echo "the README's example names no tcp: printer"; exit 1; }
sed -i "s/$example_address/tcp:$address/" "$work/example.py"

# From the site directory, as python3 finds a package installed under
# /usr/local or /usr: on sys.path, with nothing else set.
cd "$site"
output=$(env -i "$python" - <"$work/example.py" 2>&1) || { echo "the README's example failed:"; echo "$output"; exit 1; }
echo "$output"
case $output in *confirmed*) ;; *) echo "the example did not report a confirmed job"; exit 1 ;; esac

loaded=$(env -i "$python" -c 'import quenvar._library as l; print(l.path)')
case $loaded in
  "$work/prefix/"*) ;;
  *) echo "the package loaded $loaded, not the installed library"; exit 1 ;;
esac

env -i "$python" -m quenvar status "tcp:$address" || { echo "python3 -m quenvar status failed"; exit 1; }

# The printer printed the example's receipt, once.
kill "$printer_pid"
wait "$printer_pid" || true
printer_pid=
grep -c "Thank you for shopping" "$work/printed.bin" | grep -qx 1 ||
  { echo "the virtual printer did not print the receipt once:"; cat -v "$work/printed.bin"; exit 1; }
