#include "extension/model/ZLocationTable.h"

#include <algorithm>
#include <stdexcept>

ZLocationsById::const_iterator ZLocationsById::lowerBound(int32_t id) const
{
    return std::lower_bound(entries.begin(), entries.end(), id,
                            [](const value_type& entry, int32_t key) { return entry.first < key; });
}

bool ZLocationsById::insert(int32_t id, const boost::shared_ptr<ZLocation>& location)
{
    if (entries.empty() || entries.back().first < id) {
        entries.emplace_back(id, location);
        return true;
    }
    const_iterator at = lowerBound(id);
    if (at != entries.end() && at->first == id)
        return false;
    entries.emplace(at, id, location);
    return true;
}

const boost::shared_ptr<ZLocation>& ZLocationsById::at(int32_t id) const
{
    const_iterator found = lowerBound(id);
    if (found == entries.end() || found->first != id)
        throw std::out_of_range("no location with this id");
    return found->second;
}

std::size_t ZLocationsById::count(int32_t id) const
{
    const_iterator found = lowerBound(id);
    return found != entries.end() && found->first == id ? 1 : 0;
}

bool ZLocationTable::add(const boost::shared_ptr<ZLocation>& location)
{
    return location && locations.insert(location->id, location);
}

bool ZLocationTable::contains(const boost::shared_ptr<ZLocation>& location) const
{
    return location && locations.count(location->id) != 0;
}
