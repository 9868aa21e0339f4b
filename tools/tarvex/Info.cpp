#include "Commands.hpp"
#include "Recording.hpp"

#include <qara/nimb/mcap/Reader.hpp>

#include <ctime>
#include <iomanip>
#include <iostream>
#include <set>
#include <sstream>

namespace qara::nimb::tools {

namespace {

std::string utc(uint64_t nanoseconds)
{
    const std::time_t seconds = static_cast<std::time_t>(nanoseconds / 1000000000u);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    std::ostringstream text;
    text << std::put_time(&parts, "%Y-%m-%dT%H:%M:%S") << '.' << std::setw(3) << std::setfill('0')
         << nanoseconds % 1000000000u / 1000000u << 'Z';
    return text.str();
}

}  // namespace

int info(const InfoOptions& options)
{
    mcap::Reader reader(options.input);
    reader.verify();
    const mcap::Statistics& statistics = reader.statistics();
    const double seconds = (statistics.messageEndTime - statistics.messageStartTime) / 1e9;

    std::set<std::string> compressions;
    uint64_t compressed = 0;
    uint64_t uncompressed = 0;
    for (const auto& chunk : reader.chunkIndexes())
    {
        compressions.insert(chunk.compression.empty() ? "none" : chunk.compression);
        compressed += chunk.compressedSize;
        uncompressed += chunk.uncompressedSize;
    }
    std::string compression;
    for (const auto& name : compressions)
    {
        compression += (compression.empty() ? "" : ", ") + name;
    }

    std::cout << std::fixed << std::setprecision(3);
    std::cout << "file         " << options.input << ", " << reader.size() << " bytes\n"
              << "summary      " << (reader.hasSummary() ? "yes" : "no (read by scanning the file)") << '\n'
              << "compression  " << (compression.empty() ? "-" : compression) << ", " << reader.chunkIndexes().size()
              << " chunks, " << compressed << " bytes from " << uncompressed << '\n';
    if (statistics.messageCount > 0)
    {
        std::cout << "start        " << utc(statistics.messageStartTime) << '\n'
                  << "end          " << utc(statistics.messageEndTime) << '\n';
    }
    std::cout << "duration     " << seconds << " s\n"
              << "messages     " << statistics.messageCount << "\n\n";

    std::cout << std::left << std::setw(32) << "topic" << std::setw(32) << "schema" << std::right << std::setw(10)
              << "messages" << std::setw(12) << "rate Hz" << '\n';
    for (const auto& [id, channel] : reader.channels())
    {
        const auto schema = reader.schemas().find(channel.schemaId);
        const auto count = statistics.channelMessageCounts.find(id);
        const uint64_t messages = count == statistics.channelMessageCounts.end() ? 0 : count->second;
        std::cout << std::left << std::setw(31) << channel.topic << ' ' << std::setw(32)
                  << (schema == reader.schemas().end() ? "?" : schema->second.name) << std::right << std::setw(10)
                  << messages << std::setw(12) << std::setprecision(1) << (seconds > 0 ? messages / seconds : 0.0)
                  << std::setprecision(3) << '\n';
    }
    std::cout << '\n';
    for (const auto& [id, schema] : reader.schemas())
    {
        std::cout << "schema " << id << "     " << schema.name << ", " << schema.encoding << ", " << schema.data.size()
                  << " bytes\n";
    }
    if (reader.problems().empty())
    {
        std::cout << "errors       none\n";
        return 0;
    }
    for (const auto& problem : reader.problems())
    {
        std::cout << "error        at offset " << problem.offset << ": " << problem.what << '\n';
    }
    return 1;
}

Run addInfo(CLI::App& tool)
{
    auto options = std::make_shared<InfoOptions>();
    CLI::App* command = tool.add_subcommand("info", "describe an MCAP file and check it");
    command->footer(
        "Prints the recording's time span, its message counts and rates per topic, its schemas and compression,\n"
        "then checks every chunk, index and CRC and prints each fault with its byte offset. Exits with status 1\n"
        "when the file has faults; a file cut short is read up to its last whole chunk.");
    command->add_option("file", options->input, "the MCAP file")->required()->check(CLI::ExistingFile);
    return [options](const PluginLibrary&) { return info(*options); };
}

}  // namespace qara::nimb::tools
