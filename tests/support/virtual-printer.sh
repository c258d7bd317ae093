# Shell helpers for tests that run an installed `quenvar` (source this file).
#   start_virtual_printer <quenvar> <log file>
#       starts `quenvar emulate` with a clean environment on a free loopback
#       address, in the background; sets printer_pid and printer_address
#   stop_virtual_printer
#       ends it (an orderly stop: the printer writes its last lines)

start_virtual_printer() {
  # The log exists before the printer starts: the background process opens
  # it only when it gets to run.
  : >"$2"
  env -i "$1" emulate --no-input >>"$2" 2>&1 &
  printer_pid=$!
  printer_address=
  for _ in $(seq 200); do
    printer_address=$(sed -n 's/^listening on //p' "$2")
    [ -n "$printer_address" ] && return 0
    kill -0 "$printer_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "the virtual printer did not start:"
  cat "$2"
  return 1
}

stop_virtual_printer() {
  [ -n "${printer_pid:-}" ] || return 0
  kill "$printer_pid" 2>/dev/null || true
  wait "$printer_pid" 2>/dev/null || true
  printer_pid=
}
