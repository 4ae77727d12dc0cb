#include "console/my_protocl.h"

#include <chrono>
#include <string>

#include "config/ini_file.h"
#include "diag/trace_log.h"
#include "link/comm_protocol.h"
#include "platform/platform.h"

namespace kestro {

using namespace console;

std::atomic<int> CMyProtocl::thread{0};

namespace {

constexpr int kStartDelayMs = 3000;   // before the write thread serves anything
constexpr int kIdleMs = 300;          // write thread, no request
constexpr int kAnswerPollMs = 200;    // download: one look for an answer
constexpr int kPollsPerRetry = 10;    // 2 s without an answer: resend
constexpr int kGiveUpRetry = 5;       // the fifth retry gives up
constexpr int kUploadPollMs = 100;    // upload request: one look for the start byte
constexpr int kUploadPolls = 20;      // 2 s start window
constexpr int kControlPauseMs = 300;  // read thread, before each control byte
constexpr int kByteTurnMs = 100;      // one empty turn of ReceiveOneByte1
constexpr int kUploadGiveUpTurn = 41; // 40 empty turns: 4 s of silence during an upload
constexpr int kUploadSilenceMs = (kUploadGiveUpTurn - 1) * kByteTurnMs;
constexpr int kClosedRetryMs = 20;    // read thread, port closed

}  // namespace

CMyProtocl::CMyProtocl() { thread = 1; }

CMyProtocl::~CMyProtocl() {
    stopReadThread1();
    stopWriteThread();
    m_SerialPort.Close();
}

void CMyProtocl::useLine(ConsolePort& line, ConsoleClock& lineClock) {
    m_pPort = &line;
    m_pClock = &lineClock;
}

// ---- Threads ------------------------------------------------------------------------------

int CMyProtocl::Init() {
    if (startWriteThread() != 1 || resumeWriteThread() != 1) return -1;
    if (startReadThread1() != 1 || resumeReadThread1() != 1) return -1;
    return 1;
}

int CMyProtocl::startWriteThread() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    if (m_pWriteThread) return 1;
    try {
        m_pWriteThread = std::make_unique<LinkThread>([this] { return DllMainThreadPro(this); });
    } catch (...) {
        return 0;
    }
    return 1;
}

int CMyProtocl::startReadThread1() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    thread = 1;
    if (m_pReadThread) return 1;
    try {
        m_pReadThread = std::make_unique<LinkThread>([this] { return readThreadPro1(this); });
    } catch (...) {
        return 0;
    }
    return 1;
}

namespace {

int resumeThread(std::mutex& mutex, std::unique_ptr<LinkThread>& t) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!t) return 0;
    const int previous = t->resume();
    return (previous == 0 || previous == 1) ? 1 : 0;
}

}  // namespace

int CMyProtocl::resumeWriteThread() { return resumeThread(m_threadMutex, m_pWriteThread); }
int CMyProtocl::resumeReadThread1() { return resumeThread(m_threadMutex, m_pReadThread); }

int CMyProtocl::stopWriteThread() {
    std::unique_ptr<LinkThread> t;
    {
        std::lock_guard<std::mutex> lock(m_threadMutex);
        t = std::move(m_pWriteThread);
    }
    if (!t) return 0;
    t->stopAndJoin();
    m_requestTaken.notify_all();  // a host waiting for the request to be taken
    return 1;
}

int CMyProtocl::stopReadThread1() {
    std::unique_ptr<LinkThread> t;
    {
        std::lock_guard<std::mutex> lock(m_threadMutex);
        t = std::move(m_pReadThread);
    }
    if (!t) return 0;
    port().cancelWait();
    t->stopAndJoin();
    return 1;
}

void CMyProtocl::Terminate() {
    thread = 0;
    stopReadThread1();
    stopWriteThread();
    delete this;
}

bool CMyProtocl::threadsStarted() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    return m_pWriteThread || m_pReadThread;
}

bool CMyProtocl::running() const {
    if (thread.load() != 1) return false;
    LinkThread* self = LinkThread::current();
    return !self || !self->stopRequested();
}

unsigned char CMyProtocl::GetByteFromInt(int value, int digit) { return byteFromInt(value, digit); }

// ---- Host side ------------------------------------------------------------------------------

bool CMyProtocl::requestPending() const { return m_bRequested.load() != 0; }

int CMyProtocl::ConsoleDownLoad(const char* path, BYTE param, int operation) {
    if (!path) return 0;
    std::unique_lock<std::mutex> lock(m_requestMutex);
    if (operation == 6) {
        // Waits in 200 ms steps until the pending request has been served, as long as a
        // write thread is there to serve it.
        while (m_bRequested.load() != 0) {
            bool writerAlive = false;
            {
                std::lock_guard<std::mutex> threads(m_threadMutex);
                writerAlive = m_pWriteThread && !m_pWriteThread->finished();
            }
            if (!writerAlive) break;
            m_requestTaken.wait_for(lock, std::chrono::milliseconds(200));
        }
    }
    m_strPath = path;
    m_byParam = param;
    ++m_nGeneration;
    m_nOperation = operation;
    if (isParameterOperation(operation)) {
        m_nTransferLength = kBlockDataBytes;
        m_nAckBlocks = 1;
    } else {
        m_nAckBlocks = 0;
    }
    m_bRequested = 1;
    return 1;
}

bool CMyProtocl::takeRequest(Request& request) {
    std::lock_guard<std::mutex> lock(m_requestMutex);
    if (m_bRequested.load() == 0) return false;
    request.path = m_strPath;
    request.param = m_byParam;
    request.operation = m_nOperation.load();
    request.generation = m_nGeneration;
    return true;
}

void CMyProtocl::clearRequest(const Request& request) {
    {
        std::lock_guard<std::mutex> lock(m_requestMutex);
        // A request stored while this one was served stays pending.
        if (m_nGeneration == request.generation) m_bRequested = 0;
    }
    m_requestTaken.notify_all();
}

std::string CMyProtocl::transferPath() {
    std::lock_guard<std::mutex> lock(m_requestMutex);
    return m_strPath;
}

// ---- Notifications and trace ------------------------------------------------------------------

void CMyProtocl::notify(std::uintptr_t wParam, std::intptr_t lParam) {
    platform::postMessage(m_hMsgWnd.load(), kConsoleNotify, wParam, lParam);
}

// The console writes its few trace lines into the day's trace file itself (appending
// whole lines), so it never depends on the generator link being alive.
void CMyProtocl::trace(const std::string& text) {
    try {
        CPathConfig paths;
        // The generator link's rule: an absent or empty "TracePath" is the host directory.
        const std::string configured = paths.tracePath();
        const std::string directory = paths.hostDirectory() + (configured.empty() ? std::string("\\") : configured);
        TraceLog log;
        if (log.open(platform::nativePath(directory + TraceLog::fileNameFor(platform::localTimeNow()))))
            log.writeLine(text);
    } catch (...) {
    }
}

bool CMyProtocl::sendBytes(const std::uint8_t* data, std::size_t count) {
    return port().write(data, static_cast<int>(count)) == static_cast<int>(count);
}

// ---- Write thread ---------------------------------------------------------------------------

unsigned CMyProtocl::DllMainThreadPro(void* param) {
    if (!param) return static_cast<unsigned>(-1);
    CMyProtocl& self = *static_cast<CMyProtocl*>(param);
    if (!self.clock().sleepMs(kStartDelayMs)) return 0;
    while (self.running()) {
        Request request;
        if (!self.takeRequest(request)) {
            if (!self.clock().sleepMs(kIdleMs)) break;
            continue;
        }
        self.serveRequest(request);
    }
    return 0;
}

void CMyProtocl::serveRequest(const Request& request) {
    if (isParameterOperation(request.operation)) {
        const auto frame = parameterFrame(request.operation, request.param);
        sendBytes(frame.data(), frame.size());
        clearRequest(request);
        return;
    }
    if (isUploadOperation(request.operation)) {
        serveUploadRequest(request);
        return;
    }
    serveDownload(request);
}

void CMyProtocl::serveUploadRequest(const Request& request) {
    port().purge();
    // Cleared before the header goes out: a start byte that answers at once is not lost.
    m_bUploadStarted = 0;
    const auto header = commandHeader(request.operation);
    sendBytes(header.data(), header.size());
    clearRequest(request);
    for (int poll = 0; poll < kUploadPolls; ++poll) {
        if (!clock().sleepMs(kUploadPollMs)) return;
        if (m_bUploadStarted.load() != 0) return;
    }
    if (m_bUploadStarted.load() != 0) return;
    int expected = request.operation;
    m_nOperation.compare_exchange_strong(expected, 0);
    notify(2, 5);
}

void CMyProtocl::serveDownload(const Request& request) {
    DownloadReader file;
    if (!file.open(platform::nativePath(request.path))) {
        trace("Console download: cannot open the file " + request.path);
        notify(1, 3);
        clearRequest(request);
        return;
    }
    if (file.length() <= 0) {
        trace("Console download: the file is empty: " + request.path);
        notify(1, 3);
        clearRequest(request);
        return;
    }
    m_nTransferLength = static_cast<int>(file.length() > 0x7FFFFFFF ? 0x7FFFFFFF : file.length());

    // The header is answered like a block, and every frame waits for its own answer: a
    // NAK then always refers to the frame just sent, which is sent again.
    const auto header = commandHeader(request.operation);
    m_bAnswer = 0;
    m_bNak = 0;
    m_bDownloadDone = 0;
    m_bWaitFirstAnswer = 1;
    sendBytes(header.data(), header.size());

    std::vector<std::uint8_t> block;
    bool lastSent = false;  // the final block went out; its answer ends the download
    int polls = 0;
    int retries = 0;
    while (running()) {
        if (!clock().sleepMs(kAnswerPollMs)) break;
        if (lastSent && m_bDownloadDone.load() != 0) break;
        if (m_bAnswer.load() == 0) {
            if (++polls % kPollsPerRetry != 0) continue;
            if (++retries >= kGiveUpRetry) {
                notify(1, 3);
                break;
            }
            if (m_bWaitFirstAnswer.load() != 0 || block.empty())
                sendBytes(header.data(), header.size());
            else
                sendBytes(block.data(), block.size());
            continue;
        }
        polls = 0;
        retries = 0;
        m_bAnswer = 0;
        const bool nak = m_bNak.exchange(0) != 0;
        if (!nak) {
            if (lastSent) break;  // the final block was acknowledged
            if (!file.nextBlock(block, m_byChecksum)) break;
        }
        if (block.empty()) {  // the header itself was refused: send it again
            sendBytes(header.data(), header.size());
            continue;
        }
        sendBytes(block.data(), block.size());
        if (file.finished()) lastSent = true;
    }
    file.close();
    clearRequest(request);
}

// ---- Read thread ----------------------------------------------------------------------------

unsigned CMyProtocl::readThreadPro1(void* param) {
    if (!param) return static_cast<unsigned>(-1);
    CMyProtocl& self = *static_cast<CMyProtocl*>(param);
    while (self.running()) {
        if (!LinkThread::pausePoint()) break;
        if (!self.port().isOpen()) {
            if (!self.clock().sleepMs(kClosedRetryMs)) break;
            continue;
        }
        if (self.port().bytesInQueue() <= 0) {
            // Clears a pending line error as it looks; waits for the next byte.
            if (!self.clock().waitForInput(self.port(), 250)) continue;
        }
        self.ReceiveAndProcess1();
        if (!self.clock().sleepMs(1)) break;
    }
    return 0;
}

unsigned char CMyProtocl::ReceiveOneByte1() {
    for (int turn = 1;; ++turn) {
        if (!running()) return 0;
        if (port().bytesInQueue() > 0) {
            std::uint8_t byte = 0;
            if (port().read(&byte, 1) == 1) return byte;
        }
        if (turn >= kUploadGiveUpTurn && isUploadOperation(m_nOperation.load())) {
            m_bUploadAbort = 1;
            return 0;
        }
        if (clock().waitForInput(port(), kByteTurnMs)) continue;
    }
}

void CMyProtocl::ReceiveAndProcess1() {
    while (running()) {
        if (!clock().sleepMs(kControlPauseMs)) return;
        const std::uint8_t byte = ReceiveOneByte1();
        if (!running()) return;
        const int operation = m_nOperation.load();
        switch (byte) {
            case kStartStruct:
                if (operation != 12) return;
                receiveUpload("AprStruct.bin", 1, 4);
                break;
            case kStartData:
                if (operation != 13) return;
                receiveUpload("AprData.bin", 2, 3);
                break;
            case kAck:
                m_bWaitFirstAnswer = 0;
                notify(static_cast<std::uintptr_t>(m_nTransferLength.load()),
                       static_cast<std::intptr_t>(++m_nAckBlocks) * kBlockDataBytes);
                m_bAnswer = 1;
                break;
            case 0x05:
                if (!isUploadOperation(operation)) return;
                notify(1, 1);
                break;
            case kDownloadDone:
                m_bWaitFirstAnswer = 0;
                m_bDownloadDone = 1;
                notify(static_cast<std::uintptr_t>(m_nTransferLength.load()), m_nTransferLength.load());
                break;
            case kNak:
                m_bNak = 1;
                m_bAnswer = 1;
                break;
            case 0x01:
                m_bWaitFirstAnswer = 0;
                notify(1, 2);
                break;
            default:
                break;
        }
    }
}

void CMyProtocl::receiveUpload(const char* fileName, std::intptr_t startCode, std::intptr_t endCode) {
    m_bUploadStarted = 1;
    // An abort left from a give-up outside an upload must not end this one.
    m_bUploadAbort = 0;
    m_strUploadFile = transferPath() + fileName;
    UploadWriter writer;
    const bool created = writer.create(platform::nativePath(m_strUploadFile));
    if (created) {
        notify(2, startCode);
    } else {
        trace("Console upload: cannot create the file " + m_strUploadFile);
    }
    // Without a file the bytes are still taken off the line, up to the terminator. A
    // console that never sends the terminator cannot fill the disk: beyond the limit
    // the upload is abandoned (what came so far stays in the file, as after silence).
    const long long limit = m_nUploadLimit.load();
    long long received = 0;
    bool overlong = false;
    while (!writer.terminated()) {
        const std::uint8_t byte = ReceiveOneByte1();
        if (m_bUploadAbort.load() != 0 || !running()) break;
        if (++received > limit) {
            overlong = true;
            break;
        }
        writer.put(byte);
    }
    const bool aborted = !writer.terminated();
    if (aborted && m_bUploadAbort.load() != 0)
        trace("Console upload abandoned, no byte for ms : " + std::to_string(kUploadSilenceMs) + " " + m_strUploadFile);
    if (overlong)
        trace("Console upload abandoned, longer than bytes : " + std::to_string(limit) + " " + m_strUploadFile);
    if (aborted) writer.flushPending();
    const bool written = writer.finish();
    m_bUploadAbort = 0;
    m_nOperation = 0;
    if (!created) {
        notify(2, 5);
    } else if (aborted || !written) {
        if (!written) trace("Console upload: writing the file failed " + m_strUploadFile);
        notify(2, 5);
    } else {
        notify(2, endCode);
    }
}

}  // namespace kestro
