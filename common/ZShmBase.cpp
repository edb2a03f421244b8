#include "common/ZShmBase.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include "common/VornUtils.h"
#include "common/zException.h"

ZShmBase::ZShmBase() : size(0), created(false) {}

ZShmBase::~ZShmBase() = default;

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

void* ZShmBase::address() const
{
    return region.get_address();
}

std::size_t ZShmBase::mappedSize() const
{
    return region.get_address() != nullptr ? region.get_size() : 0;
}

bool ZShmBase::isMapped() const
{
    return region.get_address() != nullptr;
}

bool ZShmBase::flushAsync()
{
    if (!isMapped())
        return false;
    return region.flush(0, 0, true);
}

bool ZShmBase::status(long long& objectSize, bool& named) const
{
    const int fd = shm.get_mapping_handle().handle;
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return false;
    objectSize = static_cast<long long>(st.st_size);
    named = st.st_nlink > 0;
    return true;
}

void ZShmBase::close()
{
    boost::interprocess::mapped_region unmapped;
    region.swap(unmapped);
    boost::interprocess::shared_memory_object closed;
    shm.swap(closed);
    created = false;
}
