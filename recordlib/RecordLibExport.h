#ifndef RECORDLIB_RECORDLIBEXPORT_H
#define RECORDLIB_RECORDLIBEXPORT_H

// The record library is built with hidden symbols; only the classes and
// functions marked with this macro make up its interface to the module, the
// host and the tools.
#if defined(__GNUC__) || defined(__clang__)
#define RECORDLIB_EXPORT __attribute__((visibility("default")))
#else
#define RECORDLIB_EXPORT
#endif

#if __cplusplus < 201703L
#error "nvrbackup needs C++17 or later: compile with -std=c++17"
#endif

#endif  // RECORDLIB_RECORDLIBEXPORT_H
