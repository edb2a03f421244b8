#include "extension/instrumentation/InstrumentationRules.h"

#include <algorithm>
#include <typeinfo>
#include <unordered_set>
#include <vector>

#include "extension/model/ZLocationTable.h"
#include "extension/model/ZMethodEndEvent.h"
#include "extension/model/ZMethodStartEvent.h"
#include "extension/model/ZSymbolTable.h"

bool InstrumentationRules::compilerReplacesCalls(const std::string& lowerName)
{
    // The compiler's special cases of PHP 8.2 (zend_try_compile_special_func).
    static const std::unordered_set<std::string> replaced = {
        "strlen", "is_null", "is_bool", "is_long", "is_int", "is_integer", "is_float", "is_double",
        "is_string", "is_array", "is_object", "is_resource", "is_scalar", "boolval", "intval", "floatval",
        "doubleval", "strval", "defined", "chr", "ord", "call_user_func_array", "call_user_func", "in_array",
        "count", "sizeof", "get_class", "get_called_class", "gettype", "func_num_args", "func_get_args",
        "array_slice", "array_key_exists"};
    return replaced.count(lowerName) != 0;
}

std::string InstrumentationRules::firstLines(const std::string& text, int64_t count)
{
    std::string out;
    if (count <= 0)
        return out;
    std::size_t begin = 0;
    int64_t taken = 0;
    while (taken < count && begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        out.append(text, begin, end - begin);
        out += "\r\n\t";
        ++taken;
        begin = end + 1;
    }
    return out;
}

namespace {

// The event as the method event class T: T itself is told by its type id,
// which costs far less than a cast; a subclass of T (a remote method event)
// takes the cast.
template <typename T>
const T* methodEventAs(const ZCaptureEvent& event)
{
    if (typeid(event) == typeid(T))
        return static_cast<const T*>(&event);
    return dynamic_cast<const T*>(&event);
}

} // namespace

std::size_t InstrumentationRules::dropUnfinishedStarts(std::list<boost::shared_ptr<ZCaptureEvent>>& events,
                                                      const ZLocationTable& carried)
{
    // The type code tells method events from the others without a cast per
    // event (an event whose class does not fit its code is refused when sent
    // anyway); the ended ids sorted in one array, not a node per id.
    auto isEnd = [](const ZCaptureEvent& e) { return e.type == METHOD_END || e.type == REMOTE_METHOD_END; };
    auto isStart = [](const ZCaptureEvent& e) { return e.type == METHOD_START || e.type == REMOTE_METHOD_START; };
    std::vector<int64_t> ended;
    ended.reserve(events.size() / 2);
    for (const auto& event : events) {
        if (event && isEnd(*event)) {
            if (const auto* end = methodEventAs<ZMethodEndEvent>(*event))
                ended.push_back(end->startEventInstanceId);
        }
    }
    std::sort(ended.begin(), ended.end());
    std::size_t removed = 0;
    for (auto it = events.begin(); it != events.end();) {
        const ZMethodStartEvent* start = nullptr;
        if (*it && isStart(**it))
            start = methodEventAs<ZMethodStartEvent>(**it);
        if (start && !std::binary_search(ended.begin(), ended.end(), static_cast<int64_t>(start->eventInstance))
            && carried.locations.count(start->locationId) == 0) {
            it = events.erase(it);
            ++removed;
        } else {
            ++it;
        }
    }
    return removed;
}

void InstrumentationRules::dropRequest(std::list<boost::shared_ptr<ZCaptureEvent>>& events, ZLocationTable& locations,
                                       ZSymbolTable& newSymbols)
{
    events.clear();
    locations.locations.clear();
    newSymbols.reset();
}
