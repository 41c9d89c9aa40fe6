// The i386 numbers of the calls the sandbox's filter looks at, in a file of
// their own: their header shares its names with the x86-64 one.
#ifdef __x86_64__
#include <asm/unistd_32.h>

#include "emulator.h"

// New in Linux 6.6: older headers lack it.
#ifndef __NR_fchmodat2
#define __NR_fchmodat2 452
#endif

namespace ce {

const SyscallNumbers I386_CALLS = {__NR_chmod, __NR_fchmod,  __NR_fchmodat, __NR_fchmodat2,
                                   __NR_open,  __NR_openat,  __NR_creat,    __NR_mknod,
                                   __NR_mknodat, __NR_openat2, __NR_io_uring_setup};

}  // namespace ce
#endif
