#!/bin/sh
# Renders each manual page given with every groff warning on; any warning,
# or a page that renders empty, fails.
set -u
status=0
for page in "$@"; do
  if [ ! -s "$page" ]; then
    echo "$page: missing or empty"
    status=1
    continue
  fi
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "$page:"
    echo "$warnings"
    status=1
  fi
  if ! LC_ALL=C.UTF-8 MANWIDTH=80 man -E UTF-8 -l "$page" 2>/dev/null | grep -q '^NAME'; then
    echo "$page: renders without a NAME section"
    status=1
  fi
done
exit $status
