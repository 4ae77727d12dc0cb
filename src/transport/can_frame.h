#pragma once
// One classic CAN frame as the CAN backends carry it.

#include <cstdint>

namespace kestro {

struct CanFrame {
    std::uint32_t id = 0;      // 11-bit standard identifier
    std::uint8_t length = 0;   // 0..8
    std::uint8_t data[8] = {};  // bytes past length are 0
};

}  // namespace kestro
