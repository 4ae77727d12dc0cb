// Generator start-up (InitGen), the demonstration picture, and the acknowledgement of
// the generator's error reports (ResetGen).

#include <cstring>

#include "data/model_data.h"
#include "link/comm_protocol.h"
#include "platform/platform.h"

namespace kestro {

int CCommProtocol::initGenShared(bool setStateAfterStart) {
    GeneratorData& d = *m_pData;
    if (d.bDemo) {
        loadDemoPicture(d);
        m_nGenState = 1;
        m_WorkFlags.bCommOk = 1;
        return 1;
    }

    // 1. Forget what the last run learned.
    gen_CompInfo.clear();
    d.anodeHeat = 0;
    m_tLastELAck = 0;
    m_tLastEL = 0;
    m_tLastERAck = 0;
    m_tParser = 0;

    // 2. Reset the run state.
    m_bStopReceive = 0;
    m_bNakReceived = 0;
    m_bAckReceived = 0;
    m_bDataBagChecksumError = 0;
    m_bDataBagMode = 0;
    m_nErr220Countdown = 0;
    m_nAckELCode = 0;
    m_nAckERCode = 0;
    m_nErrNumberUIReceived = 0;
    m_nHeatPollCount = 0;
    m_nPostExpPollCount = 0;
    d.cpuVersion = 0;
    d.postMAS = 0;
    d.postTime = 0;
    d.calibMode = 0;
    d.calibMA = 0;
    d.calibFilament = 0;
    d.statusByte0 = 1;
    for (auto& read : m_bPacketRead) read = 0;
    m_nGenState = 1;
    {
        std::lock_guard<std::mutex> lock(m_ReplyMutex);
        for (auto& flag : m_ReplyFlags) flag = 0;
    }
    m_nDllMode = 0;

    auto fail = [this](const char* line) {
        m_WorkFlags.bCommOk = 0;
        WriteTraceLine(line);
        return -1;
    };
    // 3.-6. Both threads, created suspended, then resumed.
    if (!startWriteThread()) return fail("startWriteThread failed!!");
    if (!resumeThread(m_pWriteThread)) return fail("resumeWriteThread failed!!");
    if (!startReadThread()) return fail("startReadThread failed!!");
    if (!resumeThread(m_pReadThread)) return fail("resumeReadThread failed!!");

    // 7. The generator must answer its status.
    if (!getCpuCommandDataShared("ST", 2, 7)) {
        m_WorkFlags.bCommOk = 0;
        WriteTraceLine("Get ST during init gen failed!!");
        return -2;
    }

    // 8. Configuration tables from the generator's data packets.
    LoadAuxiliaryConfig();
    LoadDoseRateData();

    // 9. Running.
    WriteTraceLine("Generator Initialized !");
    m_WorkFlags.bCommOk = 1;
    m_bErr220Pending = 0;
    if (setStateAfterStart) m_nGenState = 2;
    return 1;
}

int CCommProtocol::LoadAuxiliaryConfig() {
    std::lock_guard<std::mutex> lock(m_TablesLock);
    m_AuxiliaryEnabled.clear();
    m_AuxiliaryAECChannel.clear();
    m_AECFilmSpeed.clear();
    m_AECField.clear();
    const std::uint8_t* aux = m_pData->packet(6);
    for (int n = 1; n <= 5; ++n) {
        if (!refreshModelData(*this, 6, n)) return 0;
        m_AuxiliaryEnabled.push_back(aux[1]);
        m_AuxiliaryAECChannel.push_back(aux[5]);
    }
    const std::uint8_t* aec = m_pData->packet(8);
    for (int m = 1; m <= 4; ++m) {
        if (!refreshModelData(*this, 8, m)) return 0;
        m_AECFilmSpeed.push_back(aec[1]);
        m_AECField.push_back(aec[2]);
    }
    return 1;
}

int CCommProtocol::resetGenShared() {
    char text[5];
    if (m_ReplyFlags[5].exchange(0) != 0) {
        {
            std::lock_guard<std::mutex> lock(m_LastErrorLock);
            std::memcpy(text, m_szLastEL, sizeof text);
        }
        SendCommand(text, 5, 5);
        m_nAckELCode = m_pData->genWarningCode.load();
        m_nErrNumberUIReceived = 0;
        m_tLastELAck = platform::currentTimeSeconds();
        if (m_pData->genErrorCode == 201) return 1;
    }
    LinkThread::sleepMs(10);
    if (m_ReplyFlags[4].exchange(0) != 0) {
        {
            std::lock_guard<std::mutex> lock(m_LastErrorLock);
            std::memcpy(text, m_szLastER, sizeof text);
        }
        SendCommand(text, 5, 4);
        m_nAckERCode = m_pData->genErrorCode.load();
        m_tLastERAck = platform::currentTimeSeconds();
    }
    m_nErrNumberUIReceived = 0;
    return 1;
}

}  // namespace kestro
