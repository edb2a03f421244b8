#include "common/ZShmReadOnly.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "common/VornUtils.h"
#include "common/zException.h"

ZShmReadOnly::ZShmReadOnly() = default;

ZShmReadOnly::~ZShmReadOnly() = default;

void ZShmReadOnly::create(const std::wstring& newName, unsigned long newSize)
{
    createGuarded(newName, newSize, [this, newSize](const std::string& posix) {
        const int fd = openNonBlocking(posix, O_RDONLY, 0644);
        if (fd < 0)
            throwSystemError(errno);
        const long long actual = requireRegularFile(fd, posix);

        // A block that exists but is not sized yet (between its writer's
        // create and resize) or is short would raise SIGBUS at the first
        // read past its end: check the object's real size before mapping.
        if (actual <= 0 || static_cast<unsigned long long>(actual) < newSize) {
            ::close(fd);
            throw zException(L"Shared memory " + vorn::toUtf(posix) + L" holds " +
                             std::to_wstring(actual) + L" bytes, " +
                             std::to_wstring(newSize) + L" expected");
        }
        const std::size_t length = newSize != 0 ? static_cast<std::size_t>(newSize)
                                                : static_cast<std::size_t>(actual);
        void* mapped = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
        if (mapped == MAP_FAILED) {
            const int err = errno;
            ::close(fd);
            throwSystemError(err);
        }
        adopt(fd, mapped, length);
    });
}
