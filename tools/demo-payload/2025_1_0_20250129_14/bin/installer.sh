#!/bin/sh
# Demo installer script: records its arguments and working directory in a
# log next to itself; the self-extractor copies *.log files into its log.
here=$(cd "$(dirname "$0")" && pwd)
log="$here/installer.log"
{
  echo "demo installer running in $(pwd)"
  i=0
  for a in "$@"; do
    echo "arg[$i]=$a"
    i=$((i + 1))
  done
  echo "companion files:"
  ls "$here" | sed 's/^/  /'
} > "$log"
echo "installer: installed demo agent"
exit "${DEMO_INSTALLER_EXIT:-0}"
