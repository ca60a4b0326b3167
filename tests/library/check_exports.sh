#!/bin/bash
# Checks the dynamic symbols of libblocklevel.so: every exported symbol must be
# an agent entry point or belong to a public class, every public class named
# here must export symbols of its own, and every symbol listed in the required
# file (one demangled name per line) must be exported.
set -euo pipefail
so="$1"
required="$2"

entry_points='BlockLevelClusterHandler|CreateBlkLevelCollectFiles|DetachBlockLevelVolumes|DetachBlockLevelVolumesForSC|GetBlockDeviceConfigHandler|GetUnderLyingDeviceIfCXBF|HandleRemoteIndex|MergeBitmapForBlockLevelSnap|ReadBlockDeviceConfig|ResetBitmapsForFull|RestoreBitMapMerger|Serialize|getCollectInstance'
classes='CollectFileManager|CVolumeReaderForBackup|KzDeviceReader|KzDeviceReaderUnix|CPseudoSnapArchiveHandler|CBLBJRForJobBackupHandler|CIndexInfoStore|CIndexInfoReader|KzDeviceConfigHandler|KzDeviceConfigHandler_UNIX|KzDeviceConfigHandler_SPOS'
allowed="^(($entry_points)|FreeBitMaps\(.*|($classes)::.*|(typeinfo|typeinfo name|vtable) for ($classes))\$"

exported=$(nm -D --defined-only "$so" | awk 'NF == 3 {print $3}' | c++filt |
  grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' | sort -u || true)

status=0
while IFS= read -r symbol; do
  [ -z "$symbol" ] && continue
  if ! grep -q -E "$allowed" <<<"$symbol"; then
    echo "unexpected export: $symbol"
    status=1
  fi
done <<<"$exported"

# A class named here and in the export map but built nowhere would pass the
# checks above unnoticed.
for class in ${classes//|/ }; do
  if ! grep -q -E "^($class::|(typeinfo|vtable) for $class\$)" <<<"$exported"; then
    echo "public class exports nothing: $class"
    status=1
  fi
done

while IFS= read -r symbol; do
  [ -z "$symbol" ] && continue
  case "$symbol" in \#*) continue ;; esac
  if ! grep -q -x -F "$symbol" <<<"$exported"; then
    echo "missing export: $symbol"
    status=1
  fi
done <"$required"

count=$(grep -c . <<<"$exported" || true)
echo "$count exported symbols checked"
exit $status
