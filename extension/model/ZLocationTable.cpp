#include "extension/model/ZLocationTable.h"

bool ZLocationTable::add(const boost::shared_ptr<ZLocation>& location)
{
    if (!location) {
        return false;
    }
    return locations.emplace(location->id, location).second;
}

bool ZLocationTable::contains(const boost::shared_ptr<ZLocation>& location) const
{
    return location && locations.count(location->id) != 0;
}
