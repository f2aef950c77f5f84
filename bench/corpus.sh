#!/usr/bin/env bash
# Prints the files of a corpus of about $1 MB (default 100) of Debian binaries
# and text from this machine, in a fixed order.
set -euo pipefail
limit=$(( ${1:-100} * 1000000 ))
total=0
{ find /usr/bin /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -size +16k 2>/dev/null | sort | head -400
  find /usr/share/doc /usr/share/man /usr/include -type f -size +4k 2>/dev/null | sort; } |
while read -r f; do
  size=$(stat -c %s "$f")
  echo "$f"
  total=$((total + size))
  [ "$total" -ge "$limit" ] && break
done
