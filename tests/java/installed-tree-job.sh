#!/usr/bin/env bash
# Installs the build into a fresh prefix, compiles a ten-line Java program
# against the installed quenvar.jar alone, and has it print a confirmed job on
# a virtual printer. The program runs with no java.library.path and no
# LD_LIBRARY_PATH: the jar must find libHalvornJ.so.1 beside itself, and that
# library must find libQuenvar.so.1 beside itself.
#   installed-tree-job.sh <cmake> <build dir> <quenvar tool> <javac> <java>
set -euo pipefail

cmake_exe=$1 build_dir=$2 tool=$3 javac_exe=$4 java_exe=$5

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
jar=$(find "$work/prefix" -name quenvar.jar -print -quit)
[ -n "$jar" ] || { echo "quenvar.jar was not installed"; exit 1; }
libdir=$(dirname "$jar")
for lib in libHalvornJ.so.1 libQuenvar.so.1; do
  [ -e "$libdir/$lib" ] || { echo "$lib is not installed beside quenvar.jar in $libdir"; exit 1; }
done

mkdir "$work/app"
cat >"$work/app/PrintReceipt.java" <<'JAVA'
import com.velmarworks.halvorn.*;
import java.nio.charset.StandardCharsets;
public class PrintReceipt {
    public static void main(String[] args) throws PrinterException {
        try (Printer printer = Printer.open(args[0], "", 3000)) {
            PrinterStatus done = printer.printJob("Thank you for shopping\n".getBytes(StandardCharsets.US_ASCII));
            System.out.println("job confirmed, ETB counter " + done.etbCounter);
        }
    }
}
JAVA
"$javac_exe" -Xlint:all -Werror -cp "$jar" -d "$work/app" "$work/app/PrintReceipt.java"

# The virtual printer, on a loopback address no other run holds.
address=
for _ in $(seq 40); do
  candidate=127.0.0.$(( (RANDOM % 253) + 2 ))
  "$tool" emulate --address "$candidate" >"$work/printer.log" 2>&1 &
  printer_pid=$!
  for _ in $(seq 100); do
    if grep -q "listening on" "$work/printer.log"; then address=$candidate; break; fi
    kill -0 "$printer_pid" 2>/dev/null || break
    sleep 0.05
  done
  [ -n "$address" ] && break
  kill "$printer_pid" 2>/dev/null || true
  wait "$printer_pid" 2>/dev/null || true
  printer_pid=
done
[ -n "$address" ] || { echo "no virtual printer could start:"; cat "$work/printer.log"; exit 1; }

# Once with the jar where it was installed, once through a link from a shared
# jar directory, as distributions arrange jars: the loader follows the link.
mkdir -p "$work/share/java"
ln -s "$jar" "$work/share/java/quenvar.jar"
cd "$work"
for classpath in "$jar" "$work/share/java/quenvar.jar"; do
  output=$(env -u LD_LIBRARY_PATH -u JAVA_TOOL_OPTIONS \
    "$java_exe" -Xcheck:jni -cp "$classpath:$work/app" PrintReceipt "TCP:$address" 2>&1) || {
    echo "PrintReceipt with $classpath failed:"; echo "$output"; exit 1; }
  echo "$output"
  case $output in
    *"job confirmed"*) ;;
    *) echo "the job was not confirmed"; exit 1 ;;
  esac
  case $output in
    *"WARNING in native method"*) echo "the JVM's JNI checks complained"; exit 1 ;;
  esac
done

# The virtual printer printed both receipts.
for _ in $(seq 100); do
  [ "$(grep -c "printed: Thank you for shopping" "$work/printer.log")" -ge 2 ] && exit 0
  sleep 0.05
done
echo "the virtual printer did not print both receipts:"; cat "$work/printer.log"; exit 1
