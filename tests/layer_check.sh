#!/usr/bin/env bash
# Checks that the file registry's layers include only downward: each file's
# "fileregistry/..." includes against the layers its folder may use.
set -u
cd "$(dirname "$0")/../fileregistry"
base='(win32_registry|refusal|key_path)\.h'
declare -A may=(
  [.]="$base|store\.h|registry_api\.h|store/.*"
  [store]="$base|store\.h|(store|text|hive|file|unicode)/.*"
  [text]="$base|store\.h|(text|file|unicode)/.*"
  [hive]="$base|store\.h|(hive|file|unicode)/.*"
  [file]="$base|file/.*"
  [unicode]="win32_registry\.h|unicode/.*"
)
top_headers="win32_registry.h store.h key_path.h refusal.h"
status=0
while IFS= read -r file; do
  folder=$(dirname "$file")
  allowed=${may[$folder]}
  case " $top_headers " in *" $file "*) allowed="$base|store\.h" ;; esac
  case "$file" in *_test.cc) continue ;; esac
  while IFS= read -r included; do
    if ! [[ $included =~ ^($allowed)$ ]]; then
      echo "$file includes fileregistry/$included, a layer above it" >&2
      status=1
    fi
  done < <(sed -n 's|^#include "fileregistry/\(.*\)"|\1|p' "$file")
done < <(find . \( -name '*.h' -o -name '*.cc' \) -printf '%P\n')
exit $status
