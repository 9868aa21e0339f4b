#include "Plugin.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <unistd.h>

namespace tarvex_test {

qara::nimb::PluginLibrary& plugin()
{
    static qara::nimb::PluginLibrary library(NIMB_TARVEX_PLUGIN_PATH);
    return library;
}

std::string entryName(const std::string& kind, const std::string& type)
{
    return "generated_dds_" + kind + "_tarvex_" + type;
}

std::string uniqueUri(uint32_t domain, const std::string& topic)
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "none";
    std::replace(test.begin(), test.end(), '/', '_');
    return "dds.ps://" + std::to_string(domain) + "/" + topic + "/" + test + "/" + std::to_string(::getpid());
}

}  // namespace tarvex_test
