#!/bin/sh
# Demo agent executable: answers the version query.
case "$1" in -v|--secureversion) echo "2025.1.0-20250129_14" ;; *) echo "demo agent" ;; esac
