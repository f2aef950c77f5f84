#!/usr/bin/env bash
# Prints the files of a corpus of about $1 MB (default 100) of Debian binaries
# and text from this machine, in a fixed order.
set -u
limit=$(( ${1:-100} * 1000000 ))
{ find /usr/bin /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -size +16k -printf '%s %p\n' 2>/dev/null | sort -k2 | head -400
  find /usr/share/doc /usr/share/man /usr/include -type f -size +4k -printf '%s %p\n' 2>/dev/null | sort -k2
  find /usr/lib /usr/libexec /usr/share -type f -size +16k -printf '%s %p\n' 2>/dev/null | sort -k2; } 2>/dev/null |
  awk -v limit="$limit" '{ size = $1; sub(/^[0-9]+ /, ""); if (seen[$0]++) next; print; total += size; if (total >= limit) exit }'
exit 0
