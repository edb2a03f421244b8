#include "extension/model/ZLocationTable.h"

#include <iterator>

bool ZLocationTable::add(const boost::shared_ptr<ZLocation>& location)
{
    if (!location) {
        return false;
    }
    // Ids are handed out in ascending order: a new location usually goes last.
    if (locations.empty() || std::prev(locations.end())->first < location->id) {
        locations.emplace_hint(locations.end(), location->id, location);
        return true;
    }
    return locations.emplace(location->id, location).second;
}

bool ZLocationTable::contains(const boost::shared_ptr<ZLocation>& location) const
{
    return location && locations.count(location->id) != 0;
}
