#include "tools/bridge/Protocol.hpp"

#include "tools/core/Schema.hpp"

#include <boost/endian/conversion.hpp>

#include <cstring>
#include <stdexcept>

namespace qara::nimb::tools::bridge {

namespace {

template <class T>
void putLittle(uint8_t* at, T value)
{
    boost::endian::native_to_little_inplace(value);
    std::memcpy(at, &value, sizeof value);
}

}  // namespace

std::string serverInfo(const std::string& name, bool clientPublish, const std::string& sessionId)
{
    nlohmann::json info = {{"op", "serverInfo"},
                           {"name", name},
                           {"capabilities", clientPublish ? nlohmann::json{"clientPublish"} : nlohmann::json::array()},
                           {"metadata", nlohmann::json::object()},
                           {"sessionId", sessionId}};
    if (clientPublish)
    {
        info["supportedEncodings"] = {"cdr"};
    }
    return info.dump();
}

std::string advertise(const std::vector<Channel>& channels)
{
    nlohmann::json list = nlohmann::json::array();
    for (const auto& channel : channels)
    {
        const Schema schema = schemaOf(channel.type);
        list.push_back({{"id", channel.id},
                        {"topic", channel.topic},
                        {"encoding", "cdr"},
                        {"schemaName", schema.name},
                        {"schema", schema.text},
                        {"schemaEncoding", schema.encoding}});
    }
    return nlohmann::json{{"op", "advertise"}, {"channels", list}}.dump();
}

std::string status(StatusLevel level, const std::string& message)
{
    return nlohmann::json{{"op", "status"}, {"level", static_cast<int>(level)}, {"message", message}}.dump();
}

std::vector<uint8_t> messageData(uint32_t subscription, uint64_t receiveTime, const uint8_t* payload, std::size_t size)
{
    std::vector<uint8_t> frame(1 + 4 + 8 + size);
    frame[0] = kMessageData;
    putLittle(&frame[1], subscription);
    putLittle(&frame[5], receiveTime);
    std::memcpy(&frame[13], payload, size);
    return frame;
}

ClientFrame clientFrame(const uint8_t* data, std::size_t size)
{
    if (size < 5)
    {
        throw std::invalid_argument("binary message of " + std::to_string(size) +
                                    " bytes is too short: opcode and channel id take 5");
    }
    ClientFrame frame{data[0], 0, data + 5, size - 5};
    std::memcpy(&frame.channel, data + 1, sizeof frame.channel);
    boost::endian::little_to_native_inplace(frame.channel);
    return frame;
}

}  // namespace qara::nimb::tools::bridge
