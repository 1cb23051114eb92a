// Crash points: named places between two writes that must go together.
//
// IDXCACHE_CRASH_AT=<name>:<n> makes the process _exit(IDXCACHE_CRASH_EXIT) the n-th
// time (counting from 1) it passes the point <name>; several points may be given,
// separated by commas ("reserve.rewrite:1,discard.unlinked:2"). Without the variable
// a point costs two atomic loads. The variable is read once per process, on the
// first pass of any point (a forked child counts as a new process and reads it
// again), so tests set it in a forked child before the child first passes a
// point, or start a helper program with it.
//
// Points placed in the library (name, then where it stops the process):
//   reserve.rewrite   a reservation has written the new reserve file content at
//                     offset 0 (padded to the old length) and not yet cut the
//                     file to the new length (CacheFsBase::rewriteReserveFile)
//   create.made       create: directory made, State file empty and write-locked
//   create.stated     create: state 3 written, access time not yet
//   update.renamed    update: previous index renamed to the new time stamp,
//                     its state not yet set to 3
//   update.copying    update: new directory made in state 3, nothing copied yet
//   discard.truncated discard: State file emptied, nothing removed yet
//   discard.emptied   discard: every file but State removed
//   discard.unlinked  discard: State file removed, directory not yet
//   sort.spilled      the sort engine has written one more sorted run to its work
//                     directory (the original file is untouched)
//   sort.replace      a sorted copy is complete, synced and has the original's
//                     permissions; the rename over the original has not happened
//   results.line      a result line written with flush is on disk and its map
//                     entry is not
//   checkpoint.marked    checkpoint copy: "copyInProgress" made and the old copy
//                        emptied, nothing copied yet
//   checkpoint.copied    checkpoint copy: every file copied and synced, the
//                        marker not yet removed
//   checkpoint.removing  checkpoint removal: marker made and files removed, the
//                        marker and the directory not yet
//   checkpoint.restoring checkpoint restore: "restoreInProgress" made, state 3
//                        written and the index files removed, nothing copied back
//   jobid.written        job id file: the new line written and synced under a
//                        temporary name, not yet renamed over "JobId"
//   jobstatus.written    job status file: the new file written under a temporary
//                        name, not yet renamed over the old one
//   syncup.written       sync-up queue: the entry written whole under a private
//                        name, not yet linked into place
//   tranlog.base         chunk: both base copies of an indexing table written
//                        under temporary names, neither renamed into place
//   tranlog.appended     chunk: the line appended to "TL_RST.cfg", ".bak" still
//                        there, the chunk not yet handed on
//   tranlog.queued       chunk: the upload accepted, ".bak", "current_chunk" and
//                        the time mark not yet updated
//   service.bound     service start: socket bound and listening, pid file not
//                     yet written
#pragma once

namespace platform {

// Exit status of a process stopped at a crash point.
constexpr int IDXCACHE_CRASH_EXIT = 86;

void crashPoint(const char* name);

} // namespace platform
