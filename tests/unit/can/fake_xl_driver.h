#pragma once
// A stand-in for the vendor's XL driver: a hardware configuration of our choosing, an
// application registry, and a record of every call with its arguments.

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "transport/can_xl_api.h"

namespace kestro::test {

struct FakeXl {
    struct Channel {
        unsigned hwType, hwIndex, hwChannel;
        bool can;
    };
    std::vector<Channel> hardware;
    // Application channel -> hardware channel index (the driver's registry).
    std::vector<int> registered;
    std::vector<std::string> calls;
    std::vector<std::vector<xl::XLevent>> transmitted;
    std::deque<xl::XLevent> rxQueue;
    xl::XLstatus transmitStatus = 0;
    xl::XLstatus deactivateStatus = 0;
    xl::XLstatus receiveStatus = 0;  // when not 0, every xlReceive fails with it
    xl::XLstatus openDriverStatus = 0;

    static FakeXl*& current() {
        static FakeXl* instance = nullptr;
        return instance;
    }
    static void log(std::string line) { current()->calls.push_back(std::move(line)); }
    static std::string hex(std::uint64_t v) {
        char b[24];
        std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
        return b;
    }
    static xl::XLaccess maskOf(unsigned type, unsigned index, unsigned channel) {
        const auto& hw = current()->hardware;
        for (std::size_t i = 0; i < hw.size(); ++i)
            if (hw[i].hwType == type && hw[i].hwIndex == index && hw[i].hwChannel == channel) return 1ull << i;
        return 0;
    }

    static xl::XLstatus openDriver() {
        log("xlOpenDriver");
        return current()->openDriverStatus;
    }
    static xl::XLstatus getDriverConfig(xl::XLdriverConfig* config) {
        log("xlGetDriverConfig");
        const auto& hw = current()->hardware;
        config->channelCount = static_cast<std::uint32_t>(hw.size());
        for (std::size_t i = 0; i < hw.size(); ++i) {
            config->channel[i].hwType = static_cast<std::uint8_t>(hw[i].hwType);
            config->channel[i].hwIndex = static_cast<std::uint8_t>(hw[i].hwIndex);
            config->channel[i].hwChannel = static_cast<std::uint8_t>(hw[i].hwChannel);
            config->channel[i].channelBusCapabilities = hw[i].can ? 0x10001u : 0x00040004u;
        }
        return 0;
    }
    static xl::XLstatus getApplConfig(char* name, unsigned appChannel, unsigned* type, unsigned* index,
                                      unsigned* channel, unsigned bus) {
        log("xlGetApplConfig " + std::string(name) + " " + std::to_string(appChannel) + " bus " + std::to_string(bus));
        const auto& reg = current()->registered;
        if (appChannel >= reg.size() || reg[appChannel] < 0) return 101;
        const Channel& c = current()->hardware[static_cast<std::size_t>(reg[appChannel])];
        *type = c.hwType;
        *index = c.hwIndex;
        *channel = c.hwChannel;
        return 0;
    }
    static xl::XLstatus setApplConfig(char* name, unsigned appChannel, unsigned type, unsigned index,
                                      unsigned channel, unsigned bus) {
        log("xlSetApplConfig " + std::string(name) + " " + std::to_string(appChannel) + " hw " + std::to_string(type) +
            "/" + std::to_string(index) + "/" + std::to_string(channel) + " bus " + std::to_string(bus));
        auto& reg = current()->registered;
        if (reg.size() <= appChannel) reg.resize(appChannel + 1, -1);
        const auto& hw = current()->hardware;
        for (std::size_t i = 0; i < hw.size(); ++i)
            if (hw[i].hwType == type && hw[i].hwIndex == index && hw[i].hwChannel == channel)
                reg[appChannel] = static_cast<int>(i);
        return 0;
    }
    static xl::XLaccess getChannelMask(int type, int index, int channel) {
        const xl::XLaccess mask = maskOf(static_cast<unsigned>(type), static_cast<unsigned>(index),
                                         static_cast<unsigned>(channel));
        log("xlGetChannelMask " + std::to_string(type) + "/" + std::to_string(index) + "/" + std::to_string(channel) +
            " = " + hex(mask));
        return mask;
    }
    static xl::XLstatus openPort(xl::XLportHandle* port, char* name, xl::XLaccess access, xl::XLaccess* permission,
                                 unsigned queue, unsigned version, unsigned bus) {
        log("xlOpenPort " + std::string(name) + " access " + hex(access) + " permission " + hex(*permission) +
            " queue " + std::to_string(queue) + " version " + std::to_string(version) + " bus " + std::to_string(bus));
        *port = 7;
        return 0;
    }
    static xl::XLstatus setChannelMode(xl::XLportHandle port, xl::XLaccess access, int tx, int txrq) {
        log("xlCanSetChannelMode " + std::to_string(port) + " " + hex(access) + " " + std::to_string(tx) + " " +
            std::to_string(txrq));
        return 0;
    }
    static xl::XLstatus setAcceptance(xl::XLportHandle port, xl::XLaccess access, std::uint32_t code,
                                      std::uint32_t mask, unsigned range) {
        log("xlCanSetChannelAcceptance " + std::to_string(port) + " " + hex(access) + " " + hex(code) + " " +
            hex(mask) + " " + std::to_string(range));
        return 0;
    }
    static xl::XLstatus addRange(xl::XLportHandle port, xl::XLaccess access, std::uint32_t first, std::uint32_t last) {
        log("xlCanAddAcceptanceRange " + std::to_string(port) + " " + hex(access) + " " + std::to_string(first) +
            ".." + std::to_string(last));
        return 0;
    }
    static xl::XLstatus deactivate(xl::XLportHandle port, xl::XLaccess access) {
        log("xlDeactivateChannel " + std::to_string(port) + " " + hex(access));
        return current()->deactivateStatus;
    }
    static xl::XLstatus setBitrate(xl::XLportHandle port, xl::XLaccess access, std::uint32_t rate) {
        log("xlCanSetChannelBitrate " + std::to_string(port) + " " + hex(access) + " " + std::to_string(rate));
        return 0;
    }
    static xl::XLstatus activate(xl::XLportHandle port, xl::XLaccess access, unsigned bus, unsigned flags) {
        log("xlActivateChannel " + std::to_string(port) + " " + hex(access) + " bus " + std::to_string(bus) +
            " flags " + std::to_string(flags));
        return 0;
    }
    static xl::XLstatus transmit(xl::XLportHandle port, xl::XLaccess access, unsigned* count, void* events) {
        log("xlCanTransmit " + std::to_string(port) + " " + hex(access) + " " + std::to_string(*count));
        auto* e = static_cast<xl::XLevent*>(events);
        current()->transmitted.emplace_back(e, e + *count);
        return current()->transmitStatus;
    }
    static xl::XLstatus closePort(xl::XLportHandle port) {
        log("xlClosePort " + std::to_string(port));
        return 0;
    }
    static xl::XLstatus closeDriver() {
        log("xlCloseDriver");
        return 0;
    }
    static xl::XLstatus receive(xl::XLportHandle, unsigned* count, xl::XLevent* event) {
        if (current()->receiveStatus != 0) return current()->receiveStatus;
        auto& q = current()->rxQueue;
        if (q.empty() || *count < 1) return xl::XL_ERR_QUEUE_IS_EMPTY;
        *event = q.front();
        q.pop_front();
        *count = 1;
        return 0;
    }
    static xl::XLstatus setNotification(xl::XLportHandle port, xl::XLhandle* handle, int level) {
        log("xlSetNotification " + std::to_string(port) + " level " + std::to_string(level));
        static int event;
        *handle = &event;
        return 0;
    }
    static bool waitForEvent(xl::XLhandle, int) { return true; }

    xl::Api api() {
        current() = this;
        xl::Api a{};
        a.xlOpenDriver = &openDriver;
        a.xlGetDriverConfig = &getDriverConfig;
        a.xlGetApplConfig = &getApplConfig;
        a.xlSetApplConfig = &setApplConfig;
        a.xlGetChannelMask = &getChannelMask;
        a.xlOpenPort = &openPort;
        a.xlCanSetChannelMode = &setChannelMode;
        a.xlCanSetChannelAcceptance = &setAcceptance;
        a.xlCanAddAcceptanceRange = &addRange;
        a.xlDeactivateChannel = &deactivate;
        a.xlCanSetChannelBitrate = &setBitrate;
        a.xlActivateChannel = &activate;
        a.xlCanTransmit = &transmit;
        a.xlReceive = &receive;
        a.xlSetNotification = &setNotification;
        a.xlClosePort = &closePort;
        a.xlCloseDriver = &closeDriver;
        a.waitForEvent = &waitForEvent;
        return a;
    }

    static xl::XLevent frame(std::uint32_t id, std::initializer_list<std::uint8_t> bytes,
                             xl::XLeventTag tag = xl::XL_RECEIVE_MSG) {
        xl::XLevent e;
        std::memset(&e, 0, sizeof e);
        e.tag = tag;
        e.tagData.msg.id = id;
        e.tagData.msg.dlc = static_cast<std::uint16_t>(bytes.size());
        std::size_t i = 0;
        for (std::uint8_t b : bytes) e.tagData.msg.data[i++] = b;
        return e;
    }
};

}  // namespace kestro::test
