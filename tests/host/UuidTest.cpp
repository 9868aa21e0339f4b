#include <qara/nimb/ps/detail/Uuid.hpp>

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>
#include <vector>

namespace qara::nimb::ps::detail {
namespace {

TEST(NewUuid, CanonicalRandomAndDistinctAcrossThreads)
{
    constexpr int perThread = 5000;
    std::vector<std::string> ids[2];
    std::thread other([&] {
        for (int i = 0; i < perThread; ++i)
        {
            ids[1].push_back(newUUID());
        }
    });
    for (int i = 0; i < perThread; ++i)
    {
        ids[0].push_back(newUUID());
    }
    other.join();

    std::set<std::string> distinct(ids[0].begin(), ids[0].end());
    distinct.insert(ids[1].begin(), ids[1].end());
    EXPECT_EQ(distinct.size(), 2u * perThread);

    const std::regex canonical("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    for (const auto& id : distinct)
    {
        ASSERT_TRUE(std::regex_match(id, canonical)) << id;
    }
}

}  // namespace
}  // namespace qara::nimb::ps::detail
