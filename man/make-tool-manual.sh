#!/usr/bin/env bash
# Writes quenvar(1) from the command's own help, so that the page cannot drift
# from it: help2man turns `quenvar --help` into the page, and each subcommand's
# help (`quenvar SUB --help`, through help2man as well) becomes a subsection of
# SUBCOMMANDS. The text a subcommand repeats from the main help is left out.
#   make-tool-manual.sh <help2man> <quenvar> <static include.h2m> <output.1>
set -euo pipefail
help2man=$1 tool=$2 static_include=$3 output=$4
name="talk to receipt printers, or be one"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

page() { # page <help option> <extra help2man options...>
  local option=$1
  shift
  "$help2man" --no-info --name="$name" --help-option="$option" "$@" "$tool"
}

# The subcommands: first words of the indented lines under "Subcommands:".
subcommands=$("$tool" --help | awk '/^Subcommands:/ { on = 1; next }
                                    on && /^[^ ]/    { exit }
                                    on && /^  [a-z]/ { print $1 }')
[ -n "$subcommands" ] || { echo "no subcommands in quenvar --help" >&2; exit 1; }

# Subsection titles of the main page; where a subcommand's page reaches one of
# them, it is repeating the main help.
page --help | sed -n 's/^\.SS "\(.*\)"$/\1/p' >"$work/main-titles"

{
  echo "[SUBCOMMANDS]"
  for sub in $subcommands; do
    page "$sub --help" | awk -v cmd="$sub" -v titles="$work/main-titles" '
      BEGIN {
        while ((getline t < titles) > 0) repeated[t] = 1
        printf ".SS \"quenvar %s\"\n", cmd
        own = "\\fI\\," cmd " \\/\\fR"
      }
      /^\.SH SYNOPSIS/ { on = 1; next }
      !on { next }
      /^\.SH DESCRIPTION/ { print ".PP"; next }
      /^\.SH OPTIONS/ { print ".PP"; print "Options:"; next }
      /^\.SH / { exit }
      /^\.SS / {
        t = substr($0, 5); gsub(/"/, "", t)
        if (t in repeated) exit
        print ".PP"; print t; next
      }
      {
        # The synopsis names the subcommand in bold, as a command.
        i = index($0, own)
        if (i) $0 = substr($0, 1, i - 1) "\\fB" cmd "\\fR " substr($0, i + length(own))
        # Lines opening with [ or / would read as help2man include directives.
        if ($0 ~ /^[[\/]/) $0 = "\\&" $0
        print
      }'
  done
} >"$work/subcommands.h2m"

page --help --include="$static_include" --include="$work/subcommands.h2m" --output="$work/page.1"
mv "$work/page.1" "$output"
