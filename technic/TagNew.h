#ifndef TECHNIC_TAGNEW_H
#define TECHNIC_TAGNEW_H

#include <cstddef>

#include "TechnicExport.h"

// Allocation tagged with the creating source file and line. Memory comes from
// the ordinary operator new, so the ordinary delete frees it. The reference
// host counts tagged allocations per file (for leak diagnostics).
TECHNIC_EXPORT void* operator new(std::size_t size, const char* file, int line);
// Called only when a constructor throws inside a tagged new-expression.
TECHNIC_EXPORT void operator delete(void* p, const char* file, int line) noexcept;

// Number of tagged allocations made so far with this file name.
TECHNIC_EXPORT long tagNewCount(const char* file);

#endif  // TECHNIC_TAGNEW_H
