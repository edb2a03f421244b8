#include <thread>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "extension/model/RecyclingAllocator.h"
#include "extension/model/ZMethodEndEvent.h"

namespace {

boost::shared_ptr<ZMethodEndEvent> make()
{
    return boost::allocate_shared<ZMethodEndEvent>(RecyclingAllocator<ZMethodEndEvent>());
}

TEST(RecyclingAllocator, ReleasedBlocksAreReusedFreshlyBuiltOnTheirOwnThreadOnly)
{
    auto first = make();
    first->exception.message = std::string(1000, 'x');
    first->flags = 33;
    const ZMethodEndEvent* firstAt = first.get();
    first.reset();
    auto second = make();
    EXPECT_EQ(firstAt, second.get());  // the released block, as a new object
    EXPECT_EQ(0, second->flags);
    EXPECT_TRUE(second->exception.message.empty());

    // Another thread neither takes nor gives back this thread's blocks.
    const ZMethodEndEvent* secondAt = second.get();
    second.reset();
    const ZMethodEndEvent* madeThere = nullptr;
    std::thread([&] {
        auto there = make();
        madeThere = there.get();
    }).join();
    EXPECT_NE(secondAt, madeThere);
    EXPECT_EQ(secondAt, make().get());
}

} // namespace
