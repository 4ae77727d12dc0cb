#pragma once
// A link on an in-memory generator whose data-bag replies depend on the request's
// selector bytes (so that the file layout and the loop order show), with a fake clock
// in the import/export object.

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "api/app.h"
#include "link_fixture.h"
#include "platform/clock.h"

namespace kestro::test {

// Reply data of a request: byte i = (index * 37 + i * 5 + s0 * 11 + s1 * 13 + 11) mod 256;
// a Tube Select reply carries its tube in T0.
inline Bytes replyFor(int index, Bytes selector) {
    selector.resize(2, 0);
    Bytes d(static_cast<std::size_t>(kReplyLength[static_cast<std::size_t>(index)]));
    for (std::size_t i = 0; i < d.size(); ++i)
        d[i] = static_cast<std::uint8_t>((index * 37 + i * 5 + selector[0] * 11 + selector[1] * 13 + 11) & 0xFF);
    if (index == 4) d[0] = selector[0];
    return d;
}

inline Bytes part(const Bytes& b, std::size_t from, std::size_t count) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + count));
}

inline Bytes fileBytes(const std::filesystem::path& path) {
    const std::string s = TempHost::readFile(path);
    return Bytes(s.begin(), s.end());
}

inline void writeFileBytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

class TransferTest : public LinkTest {
protected:
    void SetUp() override { setUpWith(""); }

    void setUpWith(const std::string& functionIni) {
        host.standardLayout(functionIni, "[Communication]\r\nCommunication Type=1\r\n");
        ASSERT_EQ(theApp().InitInstance(), 1);
        link = g_pCommProtocol.load();
        ASSERT_NE(link, nullptr);
        link->setTransport(&fake);
        ASSERT_EQ(link->startReadThread(), 1);
        ASSERT_EQ(link->resumeReadThread(), 1);
        image = link->m_pData->SettingsImage;
        link->m_WorkFlags.bCommOk = 1;
        io = g_ImportExportOpt.load();
        ASSERT_NE(io, nullptr);
        io->setClock(clock);
        fake.setAnswer([this](const Bytes& frame) { return answer(frame); });
    }

    // ST gets "ST002"; read requests get replyFor; writes get ACK (or NAK for a chosen
    // index); an index in `silent` is not answered.
    Bytes answer(const Bytes& frame) {
        if (onFrame) onFrame(frame);
        if (frame.size() >= 2 && frame[0] == 'S' && frame[1] == 'T') return stSilent ? Bytes{} : message("ST002");
        if (frame.size() < 6 || frame[0] != 0x01) return {};
        const int index = frame[1];
        const std::size_t length = std::size_t{frame[2]} * 256 + frame[3];
        if (index == silent) return {};
        if (length > 3) return index == nakIndex ? Bytes{0x15} : Bytes{0x06};
        Bytes selector(frame.begin() + 5, frame.end() - 1);
        return bagFrame(static_cast<std::uint8_t>(index), replyFor(index, selector));
    }

    // The sent frames of one wire index, without their checksums.
    std::vector<Bytes> framesOf(int index, bool writes) const {
        std::vector<Bytes> out;
        for (const Bytes& f : sentFrames()) {
            if (f.size() < 5 || f[0] != 0x01 || f[1] != index) continue;
            const std::size_t length = std::size_t{f[2]} * 256 + f[3];
            if ((length > 3) == writes) out.push_back(f);
        }
        return out;
    }

    void setFeatures(bool on) {
        auto& c = link->gen_CompInfo;
        for (auto* flag : {&c.OneMsEnable, &c.secondTubeEnable, &c.ABSDoseRate, &c.FluoRadCurves, &c.AECDataChannelRelated,
                           &c.DAPCalibrationUpdate, &c.bFunctionConfigDetect, &c.bDynamicFilCalib})
            *flag = on ? 1 : 0;
    }

    FakeClock clock;
    CImportExportOpt* io = nullptr;
    int silent = -1;
    int nakIndex = -1;
    bool stSilent = false;
    std::function<void(const Bytes&)> onFrame;
};

}  // namespace kestro::test
