#include "data/generator_data.h"

#include <cstring>

namespace kestro {

const DataPacketLayout kDataPackets[kPacketCount] = {
    {1, image::kGeneratorTime, 7, "Generator Time"},
    {2, image::kErrorLog, 23, "Generator Error Log"},
    {3, image::kStatistics, 24, "Generator Statistics"},
    {4, image::kTubeSelect, 47, "Tube Select"},
    {5, image::kGeneratorLimits, 4, "Generator Limits"},
    {6, image::kAuxiliarySetup, 25, "Auxiliary Setup"},
    {7, image::kAuxiliaryIO, 30, "Auxiliary IO"},
    {8, image::kAecSetup, 10, "AEC Setup"},
    {9, image::kAecRlf, 20, "AEC RLF"},
    {10, image::kAecDensity, 16, "AEC Density"},
    {11, image::kFluoSetup, 48, "Fluo Setup"},
    {12, image::kAbsCurve, 27, "ABS Curve or DAP curve"},
    {13, image::kAbsKvBreak, 13, "ABS KVBreak"},
    {14, image::kTubeKwLimit, 386, "Tube KW Limit"},
    {15, image::kCableTank, 6, "Cable Tank"},
    {16, image::kTubeCalibration, 202, "Tube Calibration"},
    {17, image::kVersion, 55, "Version"},
    {18, image::kGeneratorInfo, 70, "Generator Information"},
    {19, image::kLoadCalibCurve, 40, "Load Calibration Curve"},
    {20, image::kLoadCalibBreak, 22, "Load Calibration Break"},
    {21, image::kKwMsTable, 73, "Generator KW_MS Table"},
    {22, image::kCompatibleInfo, 10, "Compatible Information"},
    {23, image::kAecChannelFilm, 22, "AEC Channel Film"},
    {24, image::kFunctionConfig, 10, "Function Config"},
    {25, image::kDynamicFilament, 386, "Dynamic Filament Calibration"},
};

const DataPacketLayout* dataPacketLayout(int number) {
    if (number < 1 || number > kPacketCount) return nullptr;
    return &kDataPackets[number - 1];
}

std::uint8_t errIndexFromCode(int errCode) {
    if (errCode >= 1 && errCode <= 98) return static_cast<std::uint8_t>(errCode - 1);
    if (errCode >= 100 && errCode <= 105) return static_cast<std::uint8_t>(errCode - 27);
    if (errCode >= 200 && errCode <= 232) return static_cast<std::uint8_t>(errCode - 121);
    return 255;
}

GeneratorData::GeneratorData() {
    bDemo = 0;
    fluoABS = 0;
    std::memset(SettingsImage + image::kFunctionConfig, 0, 10);
}

std::uint8_t* GeneratorData::packet(int number) {
    const DataPacketLayout* layout = dataPacketLayout(number);
    return layout ? SettingsImage + layout->position : nullptr;
}

}  // namespace kestro
