#include "kernel/OSFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Checks that `fd` is a regular file and puts it back into blocking mode;
// false with errno set otherwise.
bool AcceptRegular(int fd, struct stat* status) {
  if (fstat(fd, status) != 0) return false;
  if (!S_ISREG(status->st_mode)) {
    errno = EINVAL;
    return false;
  }
  int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

int OpenRegularFile(const char* path, int flags, OSLinks links, struct stat* st,
                    mode_t mode) {
  flags |= O_NONBLOCK | O_CLOEXEC;
  if (links == OSLinks::kRefuse) flags |= O_NOFOLLOW;
  int fd;
  do {
    fd = open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;

  struct stat status;
  if (!AcceptRegular(fd, &status)) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  if (st != nullptr) *st = status;
  return fd;
}
