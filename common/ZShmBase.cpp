#include "common/ZShmBase.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "common/VornUtils.h"
#include "common/zException.h"

ZShmBase::ZShmBase() : size(0), created(false), descriptor(-1), mapping(nullptr), mappingLength(0) {}

ZShmBase::~ZShmBase()
{
    close();
}

std::string ZShmBase::posixName(const std::wstring& name)
{
    std::string posix = vorn::fromUtf(name);
    if (posix.empty() || posix[0] != '/')
        posix.insert(posix.begin(), '/');
    return posix;
}

void ZShmBase::erase(const std::wstring& name)
{
    const std::string posix = posixName(name);
    (void)shm_unlink(posix.c_str());
}

void ZShmBase::initializeBase(const std::wstring& newName, unsigned long newSize)
{
    name = newName;
    size = newSize;
}

void ZShmBase::createGuarded(const std::wstring& newName, unsigned long newSize,
                             const std::function<void(const std::string& posix)>& open)
{
    try {
        initializeBase(newName, newSize);
        open(posixName(newName));
    } catch (const zException&) {
        throw;
    } catch (const std::exception& e) {
        throw zException(vorn::toUtf(e.what()));
    }
}

int ZShmBase::openNonBlocking(const std::string& posix, int flags, unsigned mode)
{
    int fd;
    do {
        fd = shm_open(posix.c_str(), flags | O_NONBLOCK, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    return fd;
}

long long ZShmBase::requireRegularFile(int fd, const std::string& posix)
{
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        throwSystemError(err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw zException(L"Shared memory " + vorn::toUtf(posix) + L" is not a regular file");
    }
    return static_cast<long long>(st.st_size);
}

void ZShmBase::throwSystemError(int err)
{
    throw zException(vorn::toUtf(std::strerror(err)));
}

void ZShmBase::adopt(int fd, void* newMapping, std::size_t length)
{
    unmap();
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = fd;
    mapping = newMapping;
    mappingLength = length;
    created = true;
}

void ZShmBase::unmap()
{
    if (mapping != nullptr)
        (void)::munmap(mapping, mappingLength);
    mapping = nullptr;
    mappingLength = 0;
}

void* ZShmBase::address() const
{
    return mapping;
}

std::size_t ZShmBase::mappedSize() const
{
    return mapping != nullptr ? mappingLength : 0;
}

bool ZShmBase::isMapped() const
{
    return mapping != nullptr;
}

bool ZShmBase::flushAsync()
{
    if (!isMapped())
        return false;
    return ::msync(mapping, mappingLength, MS_ASYNC) == 0;
}

bool ZShmBase::status(long long& objectSize, bool& named) const
{
    struct stat st;
    if (descriptor < 0 || ::fstat(descriptor, &st) != 0)
        return false;
    objectSize = static_cast<long long>(st.st_size);
    named = st.st_nlink > 0;
    return true;
}

void ZShmBase::close()
{
    unmap();
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
    created = false;
}
