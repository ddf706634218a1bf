#!/bin/sh
# check_man_options.sh PROGRAM PAGE.scd
# Every option that PROGRAM --help lists, and that each of its subcommands'
# --help lists, must appear in the page's source in bold (*--option*), and
# every subcommand must have its own entry (a line starting *name*).
set -u
program=$1
page=$2
missing=0

# The options of one help text: the first column of each line that starts
# with blanks and a dash, split into its -x and --long-name tokens.
options_of() {
  sed -n 's/^ \{1,\}\(-[^ ].*\)$/\1/p' | sed 's/  .*//' |
    grep -o -- '--\{0,1\}[A-Za-z][A-Za-z0-9-]*' | sort -u
}

check_options() { # $1: what the help belongs to; reads the help on stdin
  for option in $(options_of); do
    if ! grep -q -F -- "*$option*" "$page"; then
      echo "$page: $1 takes $option, the page does not name it"
      missing=1
    fi
  done
}

help=$("$program" --help 2>&1) || { echo "$program --help failed"; echo "$help"; exit 1; }
printf '%s\n' "$help" | { check_options "$(basename "$program")"; exit $missing; } || missing=1

# CLI11 lists the subcommands under "Subcommands:", one per line.
subcommands=$(printf '%s\n' "$help" | sed -n '/^[Ss][Uu][Bb][Cc][Oo][Mm][Mm][Aa][Nn][Dd][Ss]:/,/^$/p' | sed -n 's/^ \{1,\}\([a-z][a-z-]*\) .*/\1/p')
for sub in $subcommands; do
  if ! grep -q "^\*$sub\*" "$page"; then
    echo "$page: subcommand $sub has no entry"
    missing=1
  fi
  sub_help=$("$program" "$sub" --help 2>&1) || { echo "$program $sub --help failed"; missing=1; continue; }
  printf '%s\n' "$sub_help" | { check_options "$sub"; exit $missing; } || missing=1
done
exit $missing
