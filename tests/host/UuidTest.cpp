#include <qara/nimb/ps/detail/Uuid.hpp>

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

namespace qara::nimb::ps::detail {
namespace {

TEST(NewUuid, CanonicalVersion4AndDistinctAcrossThreads)
{
    std::vector<std::string> ids[2];
    const auto make = [&ids](int thread) {
        for (int i = 0; i < 5000; ++i)
        {
            ids[thread].push_back(newUUID());
        }
    };
    std::thread other(make, 1);
    make(0);
    other.join();
    std::set<std::string> distinct(ids[0].begin(), ids[0].end());
    distinct.insert(ids[1].begin(), ids[1].end());
    EXPECT_EQ(distinct.size(), 10000u);
    const std::regex canonical("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    for (const auto& id : distinct)
    {
        ASSERT_TRUE(std::regex_match(id, canonical)) << id;
    }
}

}  // namespace
}  // namespace qara::nimb::ps::detail
