// Opening files that come from places a request can influence, safely.
//
// OpenRegularFile never blocks on open (a FIFO or device opens at once, and is
// then refused) and, unless asked to, never follows a symbolic link at the
// last component of the path. It hands out a descriptor only for a regular
// file, in blocking mode and closed on exec.
#ifndef KERNEL_OSFILE_H_
#define KERNEL_OSFILE_H_

#include <sys/stat.h>

enum class OSLinks { kRefuse, kFollow };

// Opens `path` with the open(2) `flags` (O_RDONLY, O_RDWR | O_CREAT, ...;
// O_CREAT uses `mode`) and returns the descriptor, with the file's status in
// `*st` when `st` is not null. Returns -1 with errno set when the open fails,
// ELOOP when the last component is a symbolic link and `links` is kRefuse,
// and EINVAL when the file is anything but a regular file.
int OpenRegularFile(const char* path, int flags, OSLinks links,
                    struct stat* st = nullptr, mode_t mode = 0600);

#endif  // KERNEL_OSFILE_H_
