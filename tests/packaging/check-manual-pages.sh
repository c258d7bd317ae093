#!/usr/bin/env bash
# Renders manual pages as a reader's man does, 80 columns wide, and fails on
# any warning of the formatter (all of groff's warnings, not only macro ones).
#   check-manual-pages.sh <page>...
set -euo pipefail
for page in "$@"; do
  [ -s "$page" ] || { echo "$page is missing or empty"; exit 1; }
  warnings=$(MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$page:"; echo "$warnings"; exit 1; }
done
echo "rendered without warnings: $*"
