#!/bin/bash
# Installs the Debian packages the build and the tests need (only what is missing).
set -euo pipefail
# Tools the tests run: e2fsprogs (mkfs.ext4, dumpe2fs, debugfs), mount (losetup),
# util-linux (blockdev; unshare: the durability audit mounts its power-loss images in a mount
# namespace of their own), binutils (nm, c++filt for the exported-symbol check), strace (the
# crash and read-error tests of the configuration files, the durability audit), sqlite3 (the
# durability audit compares the state database's records), p7zip-full (7z: the archive tests
# cross-check), btrfs-progs (mkfs.btrfs: the durability audit's cuts on a file system whose fsync
# commits only what it syncs). nlohmann-json3-dev: the harness's seeds; libarchive-dev: 7-Zip archives.
# openssl: the extent-reading benchmark's pseudo-random image. python3: the source checks.
packages=(cmake make g++ pkg-config libboost-dev libssl-dev libext2fs-dev e2fsprogs libsqlite3-dev sqlite3
          nlohmann-json3-dev libarchive-dev libgtest-dev libgmock-dev libbenchmark-dev util-linux mount binutils
          coreutils strace p7zip-full openssl python3 btrfs-progs)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
