// Makes one system call fail in the calling process, so that tests reach
// kernel answers a healthy machine never gives.
#pragma once

namespace testsupport {

// From now on the system call nr fails with err whenever its argument number
// arg (low 32 bits) equals value; false when the kernel refuses the filter.
// Call it in a forked child: the filter cannot be removed.
bool failSyscall(long nr, unsigned arg, unsigned long value, int err);

} // namespace testsupport
