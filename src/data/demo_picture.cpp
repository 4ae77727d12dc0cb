// The demonstration picture: what a host sees without a generator. Live values are the
// documented demo values; the settings image holds a fixed, self-consistent sample set.

#include <cstring>

#include "data/generator_data.h"

namespace kestro {
namespace {

void put(std::uint8_t* image, std::size_t pos, std::initializer_list<std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) image[pos++] = b;
}

void putText(std::uint8_t* image, std::size_t pos, std::size_t length, const char* text) {
    std::size_t n = std::strlen(text);
    for (std::size_t i = 0; i < length; ++i) image[pos + i] = static_cast<std::uint8_t>(i < n ? text[i] : ' ');
}

void put16(std::uint8_t* image, std::size_t pos, unsigned value) {
    image[pos] = static_cast<std::uint8_t>(value >> 8);
    image[pos + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

void fillSettingsImage(std::uint8_t* img) {
    std::memset(img, 0, kSettingsImageSize);

    // Generator Limits: kV max 150, kV min 40, mA max 100 (x10), kW 50.
    put(img, image::kGeneratorLimits, {150, 40, 100, 50});
    // Technique record: technique 0, workstation 1, kV/mA/ms/mAs indexes per technique,
    // focus small, field 1, film 1, densities -1 (0xF1).
    put(img, image::kTechniqueRecord,
        {0, 0, 75, 10, 20, 0, 1, 1, 0xF1, 75, 75, 10, 10, 20, 20, 15, 15, 15, 0xF1, 0xF1});
    // Statistics: six 4-byte counters.
    put(img, image::kStatistics, {0, 0, 0x12, 0x34, 0, 0, 0x01, 0x00, 0, 0, 0, 0x64, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0});
    // Error log: one entry, error 220 (index 99), date bytes.
    put(img, image::kErrorLog, {0, 1, 220, 26, 12, 10, 8, 30, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 99});
    // Tube Select: tube 1 and its model name.
    img[image::kTubeSelect] = 1;
    for (std::size_t i = 1; i <= 20; ++i) img[image::kTubeSelect + i] = static_cast<std::uint8_t>(i);
    putText(img, image::kTubeSelect + 21, 16, "DEMO TUBE 150KV");
    // Auxiliary Setup: receptor 0, enabled, no tomography, AEC channel 1.
    put(img, image::kAuxiliarySetup, {0, 1, 0, 0, 0, 1});
    // Generator Time: 2026-12-10 08:30:00 as year-2000, month, day, hour, minute, second, weekday.
    put(img, image::kGeneratorTime, {26, 12, 10, 8, 30, 0, 4});
    // Cable Tank.
    put(img, image::kCableTank, {1, 0, 15, 0, 0, 0});
    // Generator Information: serial digits in the last 20 bytes.
    putText(img, image::kGeneratorInfo, 10, "DEMO GEN");
    putText(img, image::kGeneratorInfo + 50, 20, "00000000002026121001");
    // AEC Channel Film: pair, then film codes.
    put(img, image::kAecChannelFilm, {1, 0, 1, 2, 4, 1});
    // Auxiliary IO: five groups of six bytes.
    for (std::size_t g = 0; g < 5; ++g) img[image::kAuxiliaryIO + g * 6] = static_cast<std::uint8_t>(g);
    // Fluo Setup.
    put(img, image::kFluoSetup, {1, 70, 100, 75, 0, 1, 0, 0, 40, 125, 5, 200});
    // AEC Setup: channel 1, film speed 1, field 1.
    put(img, image::kAecSetup, {1, 1, 1, 0, 0, 0, 0, 0, 0, 0});
    // AEC RLF and density tables.
    for (std::size_t i = 0; i < 20; ++i) img[image::kAecRlf + i] = static_cast<std::uint8_t>(100 + i);
    for (std::size_t i = 0; i < 16; ++i) img[image::kAecDensity + i] = static_cast<std::uint8_t>(i);
    // ABS / DAP curve: selector 1, twelve 16-bit values.
    img[image::kAbsCurve] = 1;
    for (std::size_t i = 0; i < 12; ++i) put16(img, image::kAbsCurve + 1 + 2 * i, 100 + 25 * static_cast<unsigned>(i));
    // ABS kV break points.
    for (std::size_t i = 0; i < 13; ++i) img[image::kAbsKvBreak + i] = static_cast<std::uint8_t>(40 + 7 * i);
    // Tube kW limit, calibration and dynamic filament tables: selectors then ramps.
    put(img, image::kTubeKwLimit, {1, 0});
    for (std::size_t i = 0; i < 384; ++i) img[image::kTubeKwLimit + 2 + i] = static_cast<std::uint8_t>(i % 200);
    put(img, image::kTubeCalibration, {1, 0});
    for (std::size_t i = 0; i < 200; ++i) img[image::kTubeCalibration + 2 + i] = static_cast<std::uint8_t>(50 + i % 150);
    put(img, image::kDynamicFilament, {1, 0});
    for (std::size_t i = 0; i < 384; ++i) img[image::kDynamicFilament + 2 + i] = static_cast<std::uint8_t>(30 + i % 170);
    // Version text.
    putText(img, image::kVersion, 55, "DEMO CPU V1.00 2026-12-10");
    // Load calibration curve and break.
    for (std::size_t i = 0; i < 40; ++i) img[image::kLoadCalibCurve + i] = static_cast<std::uint8_t>(10 + i);
    for (std::size_t i = 0; i < 22; ++i) img[image::kLoadCalibBreak + i] = static_cast<std::uint8_t>(5 * i);
    // KW_MS table bytes (1610..1681).
    for (std::size_t i = 0; i < 72; ++i) img[image::kKwMsTable + 1 + i] = static_cast<std::uint8_t>(50 - i % 40);
    // Compatible information and function config stay zero.
}

}  // namespace

void loadDemoPicture(GeneratorData& d) {
    d.fluoPrepState = 0;
    d.genErrorCode = -1;
    d.genWarningCode = -1;
    d.radExposureState = 1;
    d.radPrepState = -1;
    d.fluoIntTimer = 0;
    d.fluoAccTimer = 0;
    d.fluoMode = 1;
    d.fluoExposureState = 0;
    d.fluoABS = 1;
    d.fluoDose = 0;
    d.fluoMag = 0;
    d.calibMode = 0;
    d.calibTube = 0;
    d.calibMA = 0;
    d.calibFilament = 0;
    d.radKV = 75;
    d.radMA = 100;
    d.radMS = 630;
    d.radMAS = 250;
    d.aecDensity = -1;
    d.radPPS = 8;
    d.radPulseTime = 60;
    d.aecExposureTime = 200;
    d.serialExposureCount = 100;
    d.fluoKV = 70;
    d.fluoMA = 100;
    d.fluoPPS = 75;
    d.radTechnique = 0;
    d.receptor = 1;
    d.buState = 0;
    d.bTomo = 0;
    d.aecField = 1;
    d.aecFilm = 1;
    d.focus = 0;
    d.trState = 0;
    d.genKW = 50;
    d.genConfig = 6;
    d.housingHeat = 0;
    d.programMode = 0;
    d.currentTube = 0;
    d.postMAS = 0;
    d.postTime = 0;
    d.anodeHeat = 0;
    d.anodeHeatOver = 0;
    d.cpuVersion = 0;
    d.statusByte0 = 1;
    fillSettingsImage(d.SettingsImage);
}

}  // namespace kestro
