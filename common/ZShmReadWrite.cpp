#include "common/ZShmReadWrite.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/VornUtils.h"
#include "common/zException.h"

ZShmReadWrite::ZShmReadWrite() = default;

ZShmReadWrite::~ZShmReadWrite() = default;

// A new object gets its permissions with fchmod, so that readers of other
// users can open it whatever our umask is; O_CREAT alone would not tell
// whether it was new.
int ZShmReadWrite::openOrCreate(const std::string& posix)
{
    for (;;) {
        int fd = openNonBlocking(posix, O_CREAT | O_EXCL | O_RDWR, 0644);
        if (fd >= 0) {
            (void)::fchmod(fd, 0644);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
        fd = openNonBlocking(posix, O_RDWR, 0644);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        // Removed between the two calls: create it after all.
    }
}

void ZShmReadWrite::create(const std::wstring& newName, unsigned long newSize)
{
    createGuarded(newName, newSize, [this, newSize](const std::string& posix) {
        const int fd = openOrCreate(posix);
        if (fd < 0)
            throwSystemError(errno);
        // Nothing is sized or written unless the object is a regular file.
        (void)requireRegularFile(fd, posix);

        if (::ftruncate(fd, static_cast<off_t>(newSize)) != 0) {
            const int err = errno;
            ::close(fd);
            throwSystemError(err);
        }
        if (newSize == 0) {
            ::close(fd);
            throw zException(L"Shared memory " + vorn::toUtf(posix) + L" cannot be mapped with size 0");
        }
        void* mapped = ::mmap(nullptr, static_cast<std::size_t>(newSize), PROT_READ | PROT_WRITE,
                              MAP_SHARED, fd, 0);
        if (mapped == MAP_FAILED) {
            const int err = errno;
            ::close(fd);
            throwSystemError(err);
        }
        adopt(fd, mapped, static_cast<std::size_t>(newSize));
    });
}
