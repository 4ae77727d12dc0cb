#pragma once
// GeneratorData: the library's picture of the generator. Live values (as the
// generator's messages carry them) and the settings image holding the 25 data packets.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kestro {

// A live value shared between the host's threads and the link's threads. Each is read
// and written whole; no consistency across several values is promised.
using LiveInt = std::atomic<std::int32_t>;
using LiveByte = std::atomic<std::uint8_t>;

inline constexpr std::size_t kSettingsImageSize = 1684;
inline constexpr int kPacketCount = 25;

struct DataPacketLayout {
    int number;           // 1..25
    std::size_t position; // first byte in the settings image
    std::size_t length;
    const char* name;     // as used in export messages
};

// The 25 packets in number order (index 0 is packet 1).
extern const DataPacketLayout kDataPackets[kPacketCount];
// Layout of packet number (1..25), or nullptr.
const DataPacketLayout* dataPacketLayout(int number);

// Image positions that other code needs by name.
namespace image {
inline constexpr std::size_t kGeneratorLimits = 0;     // packet 5
inline constexpr std::size_t kTechniqueRecord = 4;     // 20 bytes, not a packet
inline constexpr std::size_t kStatistics = 112;        // packet 3
inline constexpr std::size_t kErrorLog = 136;          // packet 2
inline constexpr std::size_t kTubeSelect = 159;        // packet 4
inline constexpr std::size_t kAuxiliarySetup = 206;    // packet 6
inline constexpr std::size_t kGeneratorTime = 231;     // packet 1
inline constexpr std::size_t kCableTank = 238;         // packet 15
inline constexpr std::size_t kGeneratorInfo = 244;     // packet 18
inline constexpr std::size_t kCompatibleInfo = 314;    // packet 22
inline constexpr std::size_t kFunctionConfig = 324;    // packet 24
inline constexpr std::size_t kAecChannelFilm = 334;    // packet 23
inline constexpr std::size_t kAuxiliaryIO = 356;       // packet 7
inline constexpr std::size_t kFluoSetup = 386;         // packet 11
inline constexpr std::size_t kAecSetup = 434;          // packet 8
inline constexpr std::size_t kAecRlf = 444;            // packet 9
inline constexpr std::size_t kAecDensity = 464;        // packet 10
inline constexpr std::size_t kAbsCurve = 480;          // packet 12
inline constexpr std::size_t kAbsKvBreak = 507;        // packet 13
inline constexpr std::size_t kTubeKwLimit = 520;       // packet 14
inline constexpr std::size_t kTubeCalibration = 906;   // packet 16
inline constexpr std::size_t kDynamicFilament = 1108;  // packet 25
inline constexpr std::size_t kVersion = 1494;          // packet 17
inline constexpr std::size_t kLoadCalibCurve = 1549;   // packet 19
inline constexpr std::size_t kLoadCalibBreak = 1589;   // packet 20
inline constexpr std::size_t kKwMsTable = 1609;        // packet 21
}  // namespace image

// Error-log record byte 22: index into the error-message table derived from the code.
std::uint8_t errIndexFromCode(int errCode);

class GeneratorData {
public:
    GeneratorData();
    virtual ~GeneratorData() = default;
    GeneratorData(const GeneratorData&) = delete;
    GeneratorData& operator=(const GeneratorData&) = delete;

    // Pointer to the first byte of packet number (1..25) in the settings image, or
    // nullptr for any other number.
    std::uint8_t* packet(int number);

    // Live state, in declaration order.
    LiveByte fluoPrepState{0};
    LiveInt genErrorCode{0};
    LiveInt genWarningCode{0};
    LiveInt radExposureState{0};
    LiveInt radPrepState{0};
    LiveInt fluoIntTimer{0};
    LiveInt fluoAccTimer{0};
    LiveInt fluoMode{0};
    LiveInt fluoExposureState{0};
    LiveInt fluoABS{0};
    LiveInt fluoDose{0};
    LiveInt fluoTimerResetState{0};
    LiveInt fluoMag{0};
    LiveInt fluoDoseRate{0};
    LiveInt calibMode{0};
    LiveInt calibTube{0};
    LiveInt calibMA{0};
    LiveInt calibFilament{0};
    LiveInt radKV{0};
    LiveInt radMA{0};
    LiveInt radMS{0};
    LiveInt radMAS{0};
    LiveInt aecDensity{0};
    LiveInt radPPS{0};
    LiveInt radPulseTime{0};
    LiveInt aecExposureTime{0};
    LiveInt serialExposureCount{0};
    LiveInt fluoFPP{0};
    LiveInt fluoKV{0};
    LiveInt fluoMA{0};
    LiveInt fluoPPS{0};
    LiveInt radTechnique{0};
    LiveInt receptor{0};
    LiveInt buState{0};
    LiveInt bTomo{0};
    LiveInt aecField{0};
    LiveInt aecFilm{0};
    LiveInt focus{0};
    LiveInt trState{0};
    LiveInt genKW{0};
    LiveInt genConfig{0};
    LiveInt housingHeat{0};
    LiveInt programMode{0};
    LiveInt currentTube{0};
    LiveInt postMAS{0};
    LiveInt postTime{0};
    LiveInt anodeHeat{0};
    LiveInt anodeHeatOver{0};
    LiveInt bDemo{0};
    LiveInt aecPWP{0};
    LiveInt aecDDC{0};
    LiveInt absKV{0};
    LiveInt cpuVersion{0};
    LiveInt testMode{0};
    LiveInt lccValue{0};
    LiveInt multiTechnique{0};
    LiveInt bag99Status{0};
    LiveInt fluoMode2Flag{0};
    // The first status byte: cleared by a successful technique change, set to 1 by
    // start-up.
    LiveByte statusByte0{0};

    // The settings image with the 25 data packets at fixed positions.
    std::uint8_t SettingsImage[kSettingsImageSize] = {};
};

// Fills the live state and the settings image with the demonstration picture.
void loadDemoPicture(GeneratorData& data);

}  // namespace kestro
