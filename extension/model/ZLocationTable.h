#pragma once

#include <cstdint>
#include <map>

#include <boost/shared_ptr.hpp>

#include "extension/model/ZLocation.h"

// The locations of the request in progress, by ascending id.
class ZLocationTable {
public:
    ZLocationTable() = default;

    // Inserts the location under its id; false (and no change) when the id is
    // already taken, so the location added first keeps it.
    bool add(const boost::shared_ptr<ZLocation>& location);
    bool contains(const boost::shared_ptr<ZLocation>& location) const;

    std::map<int32_t, boost::shared_ptr<ZLocation>> locations;
};
