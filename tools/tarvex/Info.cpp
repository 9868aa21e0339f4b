#include "Commands.hpp"

#include "tools/core/Recording.hpp"

#include <ctime>
#include <iomanip>
#include <iostream>
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

int info(const std::string& file)
{
    const RecordingDescription recording = openMcapSource(file)->describe();
    const double seconds = (recording.endTime - recording.startTime) / 1e9;
    std::cout << std::fixed << std::setprecision(3) << std::left;
    std::cout << "file         " << file << ", " << recording.bytes << " bytes\n";
    for (const auto& [label, text] : recording.format)
    {
        std::cout << std::setw(13) << label << text << '\n';
    }
    if (recording.messages > 0)
    {
        std::cout << "start        " << utc(recording.startTime) << '\n'
                  << "end          " << utc(recording.endTime) << '\n';
    }
    std::cout << "duration     " << seconds << " s\n"
              << "messages     " << recording.messages << "\n\n";

    std::cout << std::setw(32) << "topic" << std::setw(32) << "schema" << std::right << std::setw(10) << "messages"
              << std::setw(12) << "rate Hz" << '\n';
    for (const RecordedChannel& channel : recording.channels)
    {
        std::cout << std::left << std::setw(31) << channel.topic.topic << ' ' << std::setw(32) << channel.schema
                  << std::right << std::setw(10) << channel.messages << std::setw(12) << std::setprecision(1)
                  << (seconds > 0 ? channel.messages / seconds : 0.0) << std::setprecision(3) << '\n';
    }
    std::cout << '\n';
    for (const auto& [id, schema] : recording.schemas)
    {
        std::cout << "schema " << id << "     " << schema.name << ", " << schema.encoding << ", " << schema.text.size()
                  << " bytes\n";
    }
    if (recording.faults.empty())
    {
        std::cout << "errors       none\n";
        return 0;
    }
    for (const auto& fault : recording.faults)
    {
        std::cout << "error        at offset " << fault.offset << ": " << fault.what << '\n';
    }
    return 1;
}

}  // namespace

Run addInfo(CLI::App& tool)
{
    auto file = std::make_shared<std::string>();
    CLI::App* command = tool.add_subcommand("info", "describe an MCAP file and check it");
    command->footer(
        "Prints the recording's time span, its message counts and rates per topic, its schemas and compression,\n"
        "then checks every chunk, index and CRC and prints each fault with its byte offset. Exits with status 1\n"
        "when the file has faults; a file cut short is read up to its last whole chunk.");
    command->add_option("file", *file, "the MCAP file")->required()->check(CLI::ExistingFile);
    return [file](const LazyPlugin&) { return info(*file); };
}

}  // namespace qara::nimb::tools
