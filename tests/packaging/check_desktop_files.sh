#!/bin/sh
# check_desktop_files.sh DESKTOP_ENTRY METAINFO MIME_PACKAGE POLKIT_POLICY
# The desktop entry and the AppStream metainfo pass their validators (errors
# fail, hints do not); the MIME package compiles into a database that then
# knows each of its types; the polkit policy is well-formed and lets pkexec
# start the installed wizard.
set -u
entry=$1
metainfo=$2
mime_package=$3
policy=$4
status=0

desktop-file-validate "$entry" || status=1
appstreamcli validate --no-net "$metainfo" || status=1

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/packages"
cp /usr/share/mime/packages/freedesktop.org.xml "$mime_package" "$scratch/packages/"
PKGSYSTEM_ENABLE_FSYNC=0 update-mime-database "$scratch" 2>"$scratch/errors" >/dev/null
if [ -s "$scratch/errors" ] && grep -v -e "not in the search path" -e "XDG_DATA" -e "^$" \
    -e "environment variables" -e "be able to find" -e "directories currently searched" \
    -e "^- " "$scratch/errors" | grep -q .; then
  cat "$scratch/errors"
  status=1
fi
for type in $(sed -n 's/.*<mime-type type="\([^"]*\)".*/\1/p' "$mime_package"); do
  if ! grep -q "^$type\$" "$scratch/types"; then
    echo "$mime_package: $type did not make it into the database"
    status=1
  fi
done

# Every type the entry registers is one the database knows, ours included.
for type in $(sed -n 's/^MimeType=//p' "$entry" | tr ';' ' '); do
  if ! grep -q "^$type\$" "$scratch/types" && ! grep -q "^$type " "$scratch/aliases"; then
    echo "$entry: MimeType $type is not a known type"
    status=1
  fi
done

xmllint --noout "$policy" || status=1
if ! grep -q 'exec.path">/.*/tolvar-gui<' "$policy"; then
  echo "$policy: no absolute exec.path for tolvar-gui"
  status=1
fi
exit $status
