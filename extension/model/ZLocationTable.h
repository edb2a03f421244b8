#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "extension/model/ZLocation.h"

// Locations by ascending id, in one array. Ids are handed out in ascending
// order, so a new location nearly always goes last; a request adds one per
// kept call, and clearing keeps the storage for the next request instead of
// freeing a node per location.
class ZLocationsById {
public:
    using value_type = std::pair<int32_t, boost::shared_ptr<ZLocation>>;
    using iterator = std::vector<value_type>::iterator;
    using const_iterator = std::vector<value_type>::const_iterator;

    // Inserts under the id; false (and no change) when the id is taken.
    bool insert(int32_t id, const boost::shared_ptr<ZLocation>& location);

    // The location under the id; throws std::out_of_range when absent.
    const boost::shared_ptr<ZLocation>& at(int32_t id) const;
    std::size_t count(int32_t id) const;

    iterator begin() { return entries.begin(); }
    iterator end() { return entries.end(); }
    const_iterator begin() const { return entries.begin(); }
    const_iterator end() const { return entries.end(); }
    std::size_t size() const { return entries.size(); }
    bool empty() const { return entries.empty(); }
    void clear() { entries.clear(); }

private:
    const_iterator lowerBound(int32_t id) const;

    std::vector<value_type> entries;
};

// The locations of the request in progress, by ascending id.
class ZLocationTable {
public:
    ZLocationTable() = default;

    // Inserts the location under its id; false (and no change) when the id is
    // already taken, so the location added first keeps it.
    bool add(const boost::shared_ptr<ZLocation>& location);
    bool contains(const boost::shared_ptr<ZLocation>& location) const;

    ZLocationsById locations;
};
