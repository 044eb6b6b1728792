#ifndef TECHNIC_TECHNICEXPORT_H
#define TECHNIC_TECHNICEXPORT_H

// The foundation library is built with hidden symbols; only the classes and
// functions marked with this macro make up its interface to the module and
// the host.
#if defined(__GNUC__) || defined(__clang__)
#define TECHNIC_EXPORT __attribute__((visibility("default")))
#else
#define TECHNIC_EXPORT
#endif

#if __cplusplus < 201703L
#error "nvrbackup needs C++17 or later: compile with -std=c++17"
#endif

#endif  // TECHNIC_TECHNICEXPORT_H
