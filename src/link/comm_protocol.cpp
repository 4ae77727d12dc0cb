// Construction, destruction, trace log, notifications and error reporting of the link.

#include "link/comm_protocol.h"

#include "platform/platform.h"

namespace kestro {
namespace {

// The link whose trace hears the settings-file warnings (the last one built).
std::mutex g_settingsTraceLock;
CCommProtocol* g_settingsTraceOwner = nullptr;

void traceSettingsWarning(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_settingsTraceLock);
    if (g_settingsTraceOwner) g_settingsTraceOwner->WriteTraceLine(line);
}

}  // namespace

CCommProtocol::CCommProtocol() { m_ErrorMessages.load(m_PathConfig.errorMessageFile()); }

void CCommProtocol::finishConstruction(ByteTransport* transport, std::atomic<int>* runFlag) {
    m_pData = new GeneratorData;
    m_pData->bDemo = 0;
    m_pTransport = transport;
    m_pRunFlag = runFlag;
    runFlag->store(1);
    OpenTraceFile();
    {
        std::lock_guard<std::mutex> lock(g_settingsTraceLock);
        g_settingsTraceOwner = this;
    }
    platform::setProfileWarningSink(&traceSettingsWarning);
}

void CCommProtocol::beginDestruction() {
    // Threads still running use the transport and the generator data: stop them first.
    stopReadThread();
    stopWriteThread();
}

CCommProtocol::~CCommProtocol() {
    {
        std::lock_guard<std::mutex> lock(g_settingsTraceLock);
        if (g_settingsTraceOwner == this) g_settingsTraceOwner = nullptr;
    }
    delete m_pData;
    m_pData = nullptr;
    WriteTraceLine(m_Stats.summary(m_ReplyLedger.lateAnswersAbsorbed(), m_nReconnections.load()));
    WriteTraceLine("Close Tavrino...");
    m_TraceFile.close();
}

int CCommProtocol::setMsghWnd(HWND hWnd) {
    m_hMsgWnd = hWnd;
    return 1;
}

void CCommProtocol::notifyHost(std::uintptr_t wParam, std::intptr_t lParam) {
    platform::postMessage(m_hMsgWnd.load(), WM_GEN_NOTIFY, wParam, lParam);
}

void CCommProtocol::postErrorMessageShared(bool logEntry, int code) {
    if (logEntry) {
        m_pData->genWarningCode = code;
        notifyHost(5, code);
    } else {
        m_pData->genErrorCode = code;
        notifyHost(6, code);
    }
}

std::string CCommProtocol::errorMessageText(int number) const { return m_ErrorMessages.text(number); }

// ---- Trace log ---------------------------------------------------------------------------

int CCommProtocol::OpenTraceFile() {
    m_bTraceSTHE = m_FunctionConfig.traceSTHECommandFlag();
    const platform::LocalTime now = platform::localTimeNow();
    // An absent or empty "TracePath" means the host directory itself: glued on without a
    // separator, the file would land beside the host directory, outside it.
    const std::string configured = m_PathConfig.tracePath();
    const std::string directory = m_PathConfig.hostDirectory() + (configured.empty() ? std::string("\\") : configured);
    const std::string name = TraceLog::fileNameFor(now);
    m_strTraceFileName = platform::nativePath(directory + name);
    PurgeTraceFiles(directory, m_FunctionConfig.totalTrace());
    return m_TraceFile.open(m_strTraceFileName) ? 1 : 0;
}

void CCommProtocol::PurgeTraceFiles(const std::string& directory, int keep) {
    const std::string today = TraceLog::fileNameFor(platform::localTimeNow());
    TraceLog::purge(directory, keep, std::string_view(today).substr(0, 8));
}

void CCommProtocol::WriteTraceLine(std::string_view text, int number, std::string_view suffix) {
    m_TraceFile.writeLine(text, number, suffix);
}

void CCommProtocol::WriteTraceLine(std::string_view text) { m_TraceFile.writeLine(text); }

std::string CCommProtocol::MakeTraceTimeStamp() { return TraceLog::timeStamp(platform::localTimeNow()); }

// ---- Digits -----------------------------------------------------------------------------

unsigned char byteFromInt(int value, int digit) {
    static constexpr int kPowers[] = {1, 10, 100, 1000, 10000};
    if (digit < 1 || digit > 5) return '0';
    return static_cast<unsigned char>('0' + (value / kPowers[digit - 1]) % 10);
}

int CCommProtocol::GetValue(const unsigned char* buf, int offset, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) value = value * 10 + (buf[offset + i] - '0');
    return value;
}

}  // namespace kestro
