// Crash points: named places between two writes that must go together.
//
// IDXCACHE_CRASH_AT=<name>:<n> makes the process _exit(IDXCACHE_CRASH_EXIT) the n-th
// time (counting from 1) it passes the point <name>; several points may be given,
// separated by commas ("reserve.rewrite:1,discard.unlinked:2"). Without the variable
// a point costs one relaxed atomic load. The variable is read once per process, on
// the first pass of any point, so tests set it in a forked child before the child
// first touches the library, or start a helper program with it.
//
// Points placed in the library (name, then where it stops the process):
//   reserve.rewrite   a reservation has written the new reserve file content at
//                     offset 0 (padded to the old length) and not yet cut the
//                     file to the new length (CacheFsBase::rewriteReserveFile)
#pragma once

namespace platform {

// Exit status of a process stopped at a crash point.
constexpr int IDXCACHE_CRASH_EXIT = 86;

void crashPoint(const char* name);

} // namespace platform
