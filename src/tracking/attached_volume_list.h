#pragma once
// CAttachedVolumeList: the machine-wide list of the volumes that block-level
// backups track on this client, "<client job results>/.BlockLevel/.AttachedVolumes",
// one VolumeClusterConfig line per volume, guarded by the lock file
// ".AttachedVolumes.lock" beside it.
//
// Built with true, the object holds the write lock for its whole life, so a
// read-modify-write through it is atomic for every other process; a change
// not yet saved is written back when it is destroyed, where a failure can
// only be logged: a writer whose change must not be lost (a dirty mark, a
// consumed one, a new volume) calls SaveList itself and fails on its error.
// Built with false, it locks around each file access.
#include <list>
#include <set>
#include <string>

#include "platform/error/qi_error.h"
#include "platform/lock/kz_file_lock.h"
#include "tracking/volume_cluster_config.h"

class CAttachedVolumeList {
 public:
  // Throws KzException when the list's folder cannot be found or made, or
  // (with lock) when the lock cannot be taken, when this thread already holds
  // the list locked through another object, or when an existing list cannot
  // be read.
  explicit CAttachedVolumeList(bool bLock);
  ~CAttachedVolumeList();
  CAttachedVolumeList(const CAttachedVolumeList&) = delete;
  CAttachedVolumeList& operator=(const CAttachedVolumeList&) = delete;

  // Replaces the held volumes with the file's (errno 2 when there is none).
  // Reads, and writes below, are made under the lock file only: a lock that
  // cannot be taken fails them with its errno.
  CQiError LoadList();
  // Writes the held volumes under a temporary name and renames it over the
  // list; an empty list leaves the file as it is.
  CQiError SaveList();
  // Replaces the held volumes; nothing is written yet.
  CQiError SaveList(const std::list<VolumeClusterConfig>& volumes);
  CQiError GetVolumeList(std::list<VolumeClusterConfig>& volumes);
  // Fills the record of the volume whose mount point names the same path.
  CQiError GetVolumeConfig(VolumeClusterConfig& volume);
  bool IsVolumeAlreadyAddedInList(const VolumeClusterConfig& volume);
  // Adds the volume at the end, replacing an entry with the same mount point.
  CQiError AddVolumeToAttachedList(const VolumeClusterConfig& volume);
  // Sets the dirty flag of every line of the mount points in the file
  // itself, under the write lock, and syncs it: a mark for when no new file
  // (the list's temporary) can be made. Only the flags' own bytes are
  // overwritten, so a crash leaves each line as it was or dirty. marked
  // gets the mount points whose lines are all dirty on disk; a line whose
  // flag has no byte to overwrite is left as it is. The held volumes are not
  // changed.
  CQiError SetDirtyInPlace(const std::set<std::string>& mountPoints, std::set<std::string>& marked);

  const std::string& GetConfigFileName() const { return m_sConfigFile; }
  const std::string& GetConfigDirName() const { return m_sConfigDir; }

 private:
  void Add(const VolumeClusterConfig& volume);

  bool m_bLocked = false;
  std::string m_sConfigFile;
  std::string m_sConfigDir;
  KzFileLock m_oLock{false};
  std::string m_sLockFile;
  std::list<VolumeClusterConfig> m_lVolumes;
  bool m_bUnsaved = false;  // the held volumes differ from the file's
};
