#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include "hardware/GenericParameters.h"

namespace Kavrel {

// What the two CAN adapters share: their error codes, the request check and
// the bus mutex of an endpoint.
namespace CanAdapter {

constexpr std::uint32_t errorOpen = 0x1501;        // an open step failed
constexpr std::uint32_t errorBaudrate = 0x1502;    // the bit rate is not offered
constexpr std::uint32_t errorNoFreeNet = 0x1503;   // every net handle is taken
constexpr std::uint32_t errorNotOpen = 0x1504;     // transfer on a closed adapter
constexpr std::uint32_t errorBadRequest = 0x1505;  // no identifier, or more than 8 bytes
constexpr std::uint32_t errorSend = 0x1506;        // sending failed or the server was lost
constexpr std::uint32_t errorNoFrame = 0x1507;     // nothing arrived within the reply time
constexpr std::uint32_t errorRead = 0x1508;        // taking the received frame failed

// The response always holds 8 data bytes; this number says how many the
// frame carried.
constexpr std::uint32_t responseLength = 1;

constexpr std::uint32_t replyTimeoutMs = 100;
constexpr std::uint32_t fifoFrames = 100;
// Frames dropped before a request at most; a chattering bus cannot hold a
// request back for ever.
constexpr int maxStaleFrames = 1000;

// Replies are not matched to requests, so every adapter of one endpoint (of
// either kind, any copy) takes the same mutex for its transfers.
std::shared_ptr<std::recursive_mutex> endpointMutex(const std::string& endpoint);

// Empty when the request can go out; otherwise why not.
std::string checkRequest(const GenericParameters& request);

} // namespace CanAdapter

} // namespace Kavrel
