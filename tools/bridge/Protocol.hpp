#pragma once

// The messages of the Foxglove WebSocket protocol (subprotocol foxglove.websocket.v1) that the bridge sends
// and the client frames it takes apart. JSON messages are text frames, data travels in binary frames,
// little-endian.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qara::nimb::tools::bridge {

inline constexpr const char* kSubprotocol = "foxglove.websocket.v1";

// Server binary opcode: Message Data; client binary opcode: Client Message Data.
inline constexpr uint8_t kMessageData = 0x01;
inline constexpr uint8_t kClientMessageData = 0x01;

enum class StatusLevel
{
    Info = 0,
    Warning = 1,
    Error = 2,
};

// What a channel offers a client: one DDS topic and the schema of its payloads.
struct Channel
{
    uint32_t id = 0;
    std::string topic;  // the DDS topic name
    std::string type;   // "PsMeasurements"
};

std::string serverInfo(const std::string& name, bool clientPublish, const std::string& sessionId);
std::string advertise(const std::vector<Channel>& channels);
std::string status(StatusLevel level, const std::string& message);

// Opcode, subscription id, receive time in nanoseconds since the epoch, payload.
std::vector<uint8_t> messageData(uint32_t subscription, uint64_t receiveTime, const uint8_t* payload,
                                 std::size_t size);

// A client's binary frame: opcode, channel id, payload.
struct ClientFrame
{
    uint8_t opcode = 0;
    uint32_t channel = 0;
    const uint8_t* payload = nullptr;
    std::size_t size = 0;
};

// std::invalid_argument saying why when the frame is too short to carry opcode and channel id.
ClientFrame clientFrame(const uint8_t* data, std::size_t size);

}  // namespace qara::nimb::tools::bridge
