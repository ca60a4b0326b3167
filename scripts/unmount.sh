#!/bin/bash
# Unmounts a job script's mount point. A job interrupted inside its frozen
# window leaves a freeze holder that keeps the mount point open a moment
# longer, while it thaws: the unmount is retried for up to 5 s.
for (( tries = 50; tries > 0; tries-- )); do
  umount "$1" 2>/dev/null && exit 0
  sleep 0.1
done
umount "$1"
