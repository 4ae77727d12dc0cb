#pragma once
// Our declarations of the CAN interface vendor's XL driver calls that the CAN adapter
// uses, with the records they pass, laid out as the vendor's published API lays them out
// (32- and 64-bit Windows). The calls are reached through one table of function
// pointers: filled from the driver DLL at run time on Windows, by a stand-in in tests.

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define KESTRO_XLAPI __stdcall
#else
#define KESTRO_XLAPI
#endif

namespace kestro::xl {

using XLstatus = std::int16_t;
using XLaccess = std::uint64_t;
using XLportHandle = std::int32_t;  // the API's long: 32-bit on Windows
using XLhandle = void*;
using XLeventTag = std::uint8_t;

constexpr XLstatus XL_SUCCESS = 0;
constexpr XLstatus XL_ERR_QUEUE_IS_EMPTY = 10;
constexpr XLstatus XL_ERROR = 255;
constexpr XLportHandle XL_INVALID_PORTHANDLE = -1;
constexpr unsigned XL_BUS_TYPE_CAN = 1;
constexpr unsigned XL_BUS_ACTIVE_CAP_CAN = XL_BUS_TYPE_CAN << 16;
constexpr unsigned XL_INTERFACE_VERSION = 3;
constexpr unsigned XL_ACTIVATE_RESET_CLOCK = 8;
constexpr unsigned XL_CAN_STD = 1;
constexpr XLeventTag XL_RECEIVE_MSG = 1;
constexpr XLeventTag XL_TRANSMIT_MSG = 10;
constexpr unsigned XL_CONFIG_MAX_CHANNELS = 64;
constexpr unsigned MAX_MSG_LEN = 8;

// The CAN message inside an event (XL_RECEIVE_MSG, XL_TRANSMIT_MSG).
struct s_xl_can_msg {
    std::uint32_t id;  // unsigned long
    std::uint16_t flags;
    std::uint16_t dlc;
    alignas(8) std::uint64_t res1;
    std::uint8_t data[MAX_MSG_LEN];
    alignas(8) std::uint64_t res2;
};
static_assert(sizeof(s_xl_can_msg) == 32);

union s_xl_tag_data {
    s_xl_can_msg msg;
    std::uint8_t raw[32];
};

struct XLevent {
    XLeventTag tag;
    std::uint8_t chanIndex;
    std::uint16_t transId;
    std::uint16_t portHandle;
    std::uint8_t flags;
    std::uint8_t reserved;
    alignas(8) std::uint64_t timeStamp;
    s_xl_tag_data tagData;
};
static_assert(sizeof(XLevent) == 48);
static_assert(offsetof(XLevent, tagData) == 16);

struct XLbusParams {
    std::uint32_t busType;
    std::uint8_t data[28];  // the bus-specific union (CAN, CAN FD, ...), not read here
};
static_assert(sizeof(XLbusParams) == 32);

#pragma pack(push, 1)
struct XLchannelConfig {
    char name[32];
    std::uint8_t hwType;
    std::uint8_t hwIndex;
    std::uint8_t hwChannel;
    std::uint16_t transceiverType;
    std::uint16_t transceiverState;
    std::uint16_t configError;
    std::uint8_t channelIndex;
    XLaccess channelMask;
    std::uint32_t channelCapabilities;
    std::uint32_t channelBusCapabilities;
    std::uint8_t isOnBus;
    std::uint32_t connectedBusType;
    XLbusParams busParams;
    std::uint32_t doNotUse;
    std::uint32_t driverVersion;
    std::uint32_t interfaceVersion;
    std::uint32_t raw_data[10];
    std::uint32_t serialNumber;
    std::uint32_t articleNumber;
    char transceiverName[32];
    std::uint32_t specialCabFlags;
    std::uint32_t dominantTimeout;
    std::uint8_t dominantRecessiveDelay;
    std::uint8_t recessiveDominantDelay;
    std::uint8_t connectionInfo;
    std::uint8_t currentlyAvailableTimestamps;
    std::uint16_t minimalSupplyVoltage;
    std::uint16_t maximalSupplyVoltage;
    std::uint32_t maximalBaudrate;
    std::uint8_t fpgaCoreCapabilities;
    std::uint8_t specialDeviceStatus;
    std::uint16_t channelBusActiveCapabilities;
    std::uint16_t breakOffset;
    std::uint16_t delimiterOffset;
    std::uint32_t reserved[3];
};

struct XLdriverConfig {
    std::uint32_t dllVersion;
    std::uint32_t channelCount;
    std::uint32_t reserved[10];
    XLchannelConfig channel[XL_CONFIG_MAX_CHANNELS];
};
#pragma pack(pop)
static_assert(sizeof(XLchannelConfig) == 227);
static_assert(offsetof(XLchannelConfig, channelMask) == 42);
static_assert(offsetof(XLchannelConfig, channelBusCapabilities) == 54);
static_assert(offsetof(XLchannelConfig, busParams) == 63);
static_assert(sizeof(XLdriverConfig) == 48 + 64 * 227);

// The calls, with the vendor's names and argument order.
struct Api {
    XLstatus(KESTRO_XLAPI* xlOpenDriver)();
    XLstatus(KESTRO_XLAPI* xlGetDriverConfig)(XLdriverConfig* config);
    XLstatus(KESTRO_XLAPI* xlGetApplConfig)(char* appName, unsigned appChannel, unsigned* hwType, unsigned* hwIndex,
                                           unsigned* hwChannel, unsigned busType);
    XLstatus(KESTRO_XLAPI* xlSetApplConfig)(char* appName, unsigned appChannel, unsigned hwType, unsigned hwIndex,
                                           unsigned hwChannel, unsigned busType);
    XLaccess(KESTRO_XLAPI* xlGetChannelMask)(int hwType, int hwIndex, int hwChannel);
    XLstatus(KESTRO_XLAPI* xlOpenPort)(XLportHandle* portHandle, char* userName, XLaccess accessMask,
                                      XLaccess* permissionMask, unsigned rxQueueSize, unsigned interfaceVersion,
                                      unsigned busType);
    XLstatus(KESTRO_XLAPI* xlCanSetChannelMode)(XLportHandle port, XLaccess accessMask, int tx, int txrq);
    XLstatus(KESTRO_XLAPI* xlCanSetChannelAcceptance)(XLportHandle port, XLaccess accessMask, std::uint32_t code,
                                                     std::uint32_t mask, unsigned idRange);
    XLstatus(KESTRO_XLAPI* xlCanAddAcceptanceRange)(XLportHandle port, XLaccess accessMask, std::uint32_t firstId,
                                                   std::uint32_t lastId);
    XLstatus(KESTRO_XLAPI* xlDeactivateChannel)(XLportHandle port, XLaccess accessMask);
    XLstatus(KESTRO_XLAPI* xlCanSetChannelBitrate)(XLportHandle port, XLaccess accessMask, std::uint32_t bitrate);
    XLstatus(KESTRO_XLAPI* xlActivateChannel)(XLportHandle port, XLaccess accessMask, unsigned busType,
                                             unsigned flags);
    XLstatus(KESTRO_XLAPI* xlCanTransmit)(XLportHandle port, XLaccess accessMask, unsigned* eventCount,
                                         void* events);
    XLstatus(KESTRO_XLAPI* xlReceive)(XLportHandle port, unsigned* eventCount, XLevent* events);
    XLstatus(KESTRO_XLAPI* xlSetNotification)(XLportHandle port, XLhandle* handle, int queueLevel);
    // Used when a lost adapter is opened again.
    XLstatus(KESTRO_XLAPI* xlClosePort)(XLportHandle port);
    XLstatus(KESTRO_XLAPI* xlCloseDriver)();

    // Not a driver call: the wait on the notification event (WaitForSingleObject on
    // Windows). true when the event was signalled within timeoutMs.
    bool (*waitForEvent)(XLhandle event, int timeoutMs);
};

// The driver's table, loaded once from "vxlapi.dll" ("vxlapi64.dll" in a 64-bit build).
// nullptr when the library or one of its calls is missing (and on platforms without it).
const Api* loadDriverApi();

}  // namespace kestro::xl
