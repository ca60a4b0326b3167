#!/bin/bash
# The library depends on the platform stand-in, never the reverse: no file
# under platform/ may include a header of the library (a folder of src/, a
# path through src/, or the library's public headers).
set -euo pipefail
platform="$1"
src="$2"

library_roots="src|blocklevel"
for dir in "$src"/*/; do
  library_roots+="|$(basename "$dir")"
done

status=0
while IFS= read -r hit; do
  echo "platform includes the library: $hit"
  status=1
done < <(grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"<]($library_roots)/" "$platform" \
           --include='*.h' --include='*.cc' || true)

count=$(find "$platform" -name '*.h' -o -name '*.cc' | wc -l)
echo "$count platform files checked"
exit $status
