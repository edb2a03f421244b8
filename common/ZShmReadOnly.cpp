#include "common/ZShmReadOnly.h"

#include <boost/interprocess/exceptions.hpp>

#include "common/VornUtils.h"
#include "common/zException.h"

namespace bip = boost::interprocess;

ZShmReadOnly::ZShmReadOnly() = default;

ZShmReadOnly::~ZShmReadOnly() = default;

void ZShmReadOnly::create(const std::wstring& newName, unsigned long newSize)
{
    createGuarded(newName, newSize, [this, newSize](const std::string& posix) {
        bip::shared_memory_object opened(bip::open_only, posix.c_str(), bip::read_only);
        shm.swap(opened);
        // The old object (if any) is now in `opened` and closes at scope end.

        // A block that exists but is not sized yet (between its writer's
        // create and resize) or is short would raise SIGBUS at the first
        // read past its end: check the object's real size before mapping.
        bip::offset_t actual = 0;
        if (!shm.get_size(actual))
            throw zException(L"Failed to read the size of shared memory " + vorn::toUtf(posix));
        if (actual <= 0 || static_cast<unsigned long long>(actual) < newSize) {
            throw zException(L"Shared memory " + vorn::toUtf(posix) + L" holds " +
                             std::to_wstring(static_cast<long long>(actual)) + L" bytes, " +
                             std::to_wstring(newSize) + L" expected");
        }
        const std::size_t length = newSize != 0 ? static_cast<std::size_t>(newSize)
                                                : static_cast<std::size_t>(actual);
        bip::mapped_region mapped(shm, bip::read_only, 0, length);
        region.swap(mapped);
        created = true;
    });
}
