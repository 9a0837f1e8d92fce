// A SQLite VFS over the system's whose writes fail as on a full disk
// (SQLITE_FULL) while `full` is set, and so does the growth of the log
// index's shared-memory file. It is the default VFS during its life,
// so every connection opened meanwhile goes through it.
#pragma once

#include <sqlite3.h>

#include <atomic>

namespace server_testing {

class FullDiskVfs {
 public:
  FullDiskVfs() : real_(sqlite3_vfs_find(nullptr)), vfs_(*real_) {
    vfs_.zName = "full-disk-test";
    vfs_.szOsFile = static_cast<int>(sizeof(File)) + real_->szOsFile;
    vfs_.pAppData = this;
    vfs_.xOpen = &Open;
    for (int v = 1; v <= 3; ++v) {
      sqlite3_io_methods& m = methods_[v];
      m = sqlite3_io_methods{v,         &Close,        &Read,          &Write,      &Truncate,     &Sync,
                             &FileSize, &Lock,         &Unlock,        &Reserved,   &Control,      &SectorSize,
                             &Device,   &ShmMap,       &ShmLock,       &ShmBarrier, &ShmUnmap,     &Fetch,
                             &Unfetch};
    }
    sqlite3_vfs_register(&vfs_, 1);
  }
  ~FullDiskVfs() {
    sqlite3_vfs_unregister(&vfs_);
    sqlite3_vfs_register(real_, 1);
  }
  FullDiskVfs(const FullDiskVfs&) = delete;
  FullDiskVfs& operator=(const FullDiskVfs&) = delete;

  std::atomic<bool> full{false};

 private:
  struct File {
    sqlite3_file base;
    FullDiskVfs* owner;
    sqlite3_file* real;  // follows this struct in the same allocation
  };
  static sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }
  static const sqlite3_io_methods& M(sqlite3_file* f) { return *Real(f)->pMethods; }

  static int Open(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    auto* self = static_cast<FullDiskVfs*>(vfs->pAppData);
    File* f = reinterpret_cast<File*>(file);
    f->owner = self;
    f->real = reinterpret_cast<sqlite3_file*>(f + 1);
    f->real->pMethods = nullptr;
    const int result = self->real_->xOpen(self->real_, name, f->real, flags, outFlags);
    f->base.pMethods = f->real->pMethods ? &self->methods_[f->real->pMethods->iVersion] : nullptr;
    return result;
  }
  static int Close(sqlite3_file* f) { return M(f).xClose(Real(f)); }
  static int Read(sqlite3_file* f, void* b, int n, sqlite3_int64 o) { return M(f).xRead(Real(f), b, n, o); }
  static int Write(sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
    if (reinterpret_cast<File*>(f)->owner->full) return SQLITE_FULL;
    return M(f).xWrite(Real(f), b, n, o);
  }
  static int Truncate(sqlite3_file* f, sqlite3_int64 size) { return M(f).xTruncate(Real(f), size); }
  static int Sync(sqlite3_file* f, int flags) { return M(f).xSync(Real(f), flags); }
  static int FileSize(sqlite3_file* f, sqlite3_int64* size) { return M(f).xFileSize(Real(f), size); }
  static int Lock(sqlite3_file* f, int level) { return M(f).xLock(Real(f), level); }
  static int Unlock(sqlite3_file* f, int level) { return M(f).xUnlock(Real(f), level); }
  static int Reserved(sqlite3_file* f, int* out) { return M(f).xCheckReservedLock(Real(f), out); }
  static int Control(sqlite3_file* f, int op, void* arg) { return M(f).xFileControl(Real(f), op, arg); }
  static int SectorSize(sqlite3_file* f) { return M(f).xSectorSize(Real(f)); }
  static int Device(sqlite3_file* f) { return M(f).xDeviceCharacteristics(Real(f)); }
  // The shared-memory file of the log's index cannot grow either (its
  // regions mapped so far stay usable).
  static int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
    FullDiskVfs& owner = *reinterpret_cast<File*>(f)->owner;
    if (owner.full && extend && page >= owner.shmRegions_) {
      *out = nullptr;
      return SQLITE_FULL;
    }
    const int result = M(f).xShmMap(Real(f), page, size, extend, out);
    if (result == SQLITE_OK && *out && page >= owner.shmRegions_) owner.shmRegions_ = page + 1;
    return result;
  }
  static int ShmLock(sqlite3_file* f, int offset, int n, int flags) { return M(f).xShmLock(Real(f), offset, n, flags); }
  static void ShmBarrier(sqlite3_file* f) { M(f).xShmBarrier(Real(f)); }
  static int ShmUnmap(sqlite3_file* f, int remove) {
    if (remove) reinterpret_cast<File*>(f)->owner->shmRegions_ = 0;
    return M(f).xShmUnmap(Real(f), remove);
  }
  static int Fetch(sqlite3_file* f, sqlite3_int64 o, int n, void** out) { return M(f).xFetch(Real(f), o, n, out); }
  static int Unfetch(sqlite3_file* f, sqlite3_int64 o, void* p) { return M(f).xUnfetch(Real(f), o, p); }

  sqlite3_vfs* real_;
  sqlite3_vfs vfs_;
  sqlite3_io_methods methods_[4] = {};
  std::atomic<int> shmRegions_{0};  // of the one database a test uses
};

}  // namespace server_testing
