#pragma once

// Recording the topics to MCAP files, describing such a file, and replaying it through the plug-in.

#include <qara/nimb/PluginLibrary.hpp>
#include <qara/nimb/mcap/Records.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qara::nimb::tools {

// Host and entity properties that choose XML profiles, as a host sets them.
struct ProfileChoice
{
    std::string profilesFile;  // dds.xml.profiles.file
    std::string qosLibrary;    // dds.qos.profile.library
};

struct RecordOptions
{
    std::vector<std::string> topics;  // topic types; every topic when empty
    std::string output;
    uint32_t domain = 0;
    std::string topicPrefix = "tarvex";  // DDS topic names are <prefix>/<type>
    double seconds = 0;                  // 0: until interrupted
    uint64_t count = 0;                  // stop after this many messages; 0: no limit
    mcap::Compression compression = mcap::Compression::Zstd;
    ProfileChoice profiles;
};

struct InfoOptions
{
    std::string input;
};

struct ReplayOptions
{
    std::string input;
    double rate = 1;
    bool loop = false;
    bool restamp = false;
    std::optional<uint32_t> domain;   // the recorded one when not given
    std::vector<std::string> topics;  // topic types or DDS topic names; every recorded one when empty
    ProfileChoice profiles;
};

// Each returns the exit status.
int record(const RecordOptions& options);
int info(const InfoOptions& options);
int replay(const PluginLibrary& plugin, const ReplayOptions& options);

}  // namespace qara::nimb::tools
