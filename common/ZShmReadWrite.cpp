#include "common/ZShmReadWrite.h"

#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/permissions.hpp>

#include "common/VornUtils.h"
#include "common/zException.h"

namespace bip = boost::interprocess;

ZShmReadWrite::ZShmReadWrite() = default;

ZShmReadWrite::~ZShmReadWrite() = default;

void ZShmReadWrite::create(const std::wstring& newName, unsigned long newSize)
{
    createGuarded(newName, newSize, [this, newSize](const std::string& posix) {
        // Open-or-create sets the permissions with fchmod after creating, so
        // readers of other users can open the block whatever our umask is.
        bip::shared_memory_object opened(bip::open_or_create, posix.c_str(), bip::read_write,
                                         bip::permissions(0644));
        shm.swap(opened);

        shm.truncate(static_cast<bip::offset_t>(newSize));
        if (newSize == 0)
            throw zException(L"Shared memory " + vorn::toUtf(posix) + L" cannot be mapped with size 0");
        bip::mapped_region mapped(shm, bip::read_write, 0, static_cast<std::size_t>(newSize));
        region.swap(mapped);
        created = true;
    });
}
