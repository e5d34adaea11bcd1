#!/usr/bin/env bash
# Can 32-bit Windows programs run here? Starts the 32-bit Wine loader
# (KOVALSET_WINE32, /usr/lib/wine/wine by default) for real: a kernel
# without 32-bit support has it installed but refuses to start it. Prints
# the loader's path and exits 0 where it starts; else prints why not, in one
# line, and exits 1.
wine=${KOVALSET_WINE32:-/usr/lib/wine/wine}
cannot="32-bit Windows programs cannot run here"
if [ ! -e "$wine" ]; then
  echo "$cannot: no $wine (wine32:i386 is not installed)"
  exit 1
fi
# The loader alone answers --version, before any prefix is made. Where the
# kernel refuses it, bash says "...: cannot execute binary file: REASON".
said=$(WINEDEBUG=-all "$wine" --version 2>&1 </dev/null)
status=$?
if [ $status -ne 0 ]; then
  if [ $status -eq 126 ] || [ $status -eq 127 ]; then
    echo "$cannot: $wine: ${said##*: }"
  else
    echo "$cannot: $wine --version exited with $status: $(echo "$said" | head -n 1)"
  fi
  exit 1
fi
echo "$wine"
