// Makes chosen system calls of the code under test fail, as a full disk or a failing device
// would. The test executable is linked with --wrap for each call below, so the library's calls
// go through this switch and on to the real system call unless a fault is armed.
#pragma once

namespace kestrival::version::testing {

enum class Call {
    OpenUnnamed, // openat with O_TMPFILE
    CreateNamed, // openat with O_CREAT
    Write,
    Fsync,
    Fchmod,
    Link,
    Rename,
};

// The call after `skip` successful ones fails with `error`, and so do the next `count - 1`;
// a negative count fails every call from then on.
void arm_fault(Call call, int error, int skip = 0, int count = 1);
void disarm_faults();

} // namespace kestrival::version::testing
