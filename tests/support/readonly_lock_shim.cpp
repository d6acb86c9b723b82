// Preloaded into the program by a black-box test: flock refuses an exclusive lock through a
// descriptor opened for reading only, with EBADF, as a file on NFS does.
#include <cerrno>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>

extern "C" int flock(int fd, int operation) {
    using Flock = int (*)(int, int);
    static const Flock real = reinterpret_cast<Flock>(dlsym(RTLD_NEXT, "flock"));
    const int mode = fcntl(fd, F_GETFL);
    if ((operation & LOCK_EX) != 0 && mode >= 0 && (mode & O_ACCMODE) == O_RDONLY) {
        errno = EBADF;
        return -1;
    }
    return real(fd, operation);
}
