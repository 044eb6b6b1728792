#ifndef BACKUP_NVRBACKUPEXPORT_H
#define BACKUP_NVRBACKUPEXPORT_H

// The module is built with hidden symbols; only the classes marked with this
// macro make up the library's interface to the host.
#if defined(__GNUC__) || defined(__clang__)
#define NVR_BACKUP_EXPORT __attribute__((visibility("default")))
#else
#define NVR_BACKUP_EXPORT
#endif

#if __cplusplus < 201703L
#error "nvrbackup needs C++17 or later: compile with -std=c++17"
#endif

#endif  // BACKUP_NVRBACKUPEXPORT_H
