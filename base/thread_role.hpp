#pragma once

// A thread that must stay responsive (a window's) can forbid itself disk
// reads. A debug build then aborts at the first read made on it, so a test
// finds any read that slipped onto that thread; a release build checks
// nothing.

#include <cstdio>
#include <cstdlib>

namespace tolvar {

namespace detail {
inline thread_local bool diskReadsForbidden = false;
}  // namespace detail

inline void ForbidDiskReadsOnThisThread(bool forbidden = true) {
  detail::diskReadsForbidden = forbidden;
}

[[nodiscard]] inline bool DiskReadsForbiddenOnThisThread() { return detail::diskReadsForbidden; }

inline void CheckDiskReadAllowed() {
#ifndef NDEBUG
  if (detail::diskReadsForbidden) {
    std::fputs("tolvar: a disk read on a thread that must not read the disk\n", stderr);
    std::abort();
  }
#endif
}

}  // namespace tolvar
