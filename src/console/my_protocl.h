#pragma once
// CMyProtocl: the service-console link on its own serial port. A write thread
// (DllMainThreadPro) serves one request at a time: command frames, downloads of a file
// in checksummed blocks, and upload requests; a read thread (readThreadPro1) takes the
// console's control bytes and writes uploaded files. The host is told about progress
// and failures with WM_CONSOLE_NOTIFY.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <kestro/kestro_types.h>

#include "console/console_clock.h"
#include "console/console_frames.h"
#include "link/link_thread.h"
#include "transport/serial_port.h"

namespace kestro {

class CMyProtocl {
public:
    // The run flag of the console's threads (1 keep running, 0 stop).
    static std::atomic<int> thread;

    CMyProtocl();
    virtual ~CMyProtocl();
    CMyProtocl(const CMyProtocl&) = delete;
    CMyProtocl& operator=(const CMyProtocl&) = delete;

    // Tests run the threads on another line and clock; call before Init.
    void useLine(ConsolePort& port, ConsoleClock& clock);

    // Creates and resumes the write thread, then the read thread: 1, or -1 when a
    // thread could not be created or resumed.
    int Init();
    int startWriteThread();
    int resumeWriteThread();
    int stopWriteThread();
    int startReadThread1();
    int resumeReadThread1();
    int stopReadThread1();
    // Stops both threads (they are joined) and destroys the object.
    void Terminate();

    // Stores a request for the write thread (IO_ConsoleDownLoad). Operation 6 first
    // waits until a pending request has been served. 1, or 0 for a null path.
    int ConsoleDownLoad(const char* path, BYTE param, int operation);

    unsigned char ReceiveOneByte1();
    void ReceiveAndProcess1();
    static unsigned readThreadPro1(void* param);
    static unsigned DllMainThreadPro(void* param);
    unsigned char GetByteFromInt(int value, int digit);

    int setMsghWnd(HWND hWnd) {
        m_hMsgWnd = hWnd;
        return 1;
    }
    HWND msgWnd() const { return m_hMsgWnd.load(); }

    // Request state as the host and the tests see it.
    int operationCode() const { return m_nOperation.load(); }
    bool requestPending() const;
    int transferLength() const { return m_nTransferLength.load(); }
    // Whether the write or the read thread exists.
    bool threadsStarted();

    // The most data bytes one upload may bring (kUploadLimitBytes); a longer upload is
    // abandoned. Tests set a small limit.
    static constexpr long long kUploadLimitBytes = 4LL * 1024 * 1024;
    void setUploadLimit(long long bytes) { m_nUploadLimit = bytes; }

    CSerialPort m_SerialPort;

private:
    struct Request {
        std::string path;
        BYTE param = 0;
        int operation = 0;
        std::uint64_t generation = 0;
    };

    ConsolePort& port() { return *m_pPort; }
    ConsoleClock& clock() { return *m_pClock; }
    bool running() const;
    void notify(std::uintptr_t wParam, std::intptr_t lParam);
    void trace(const std::string& text);
    bool sendBytes(const std::uint8_t* data, std::size_t count);

    bool takeRequest(Request& request);
    void clearRequest(const Request& request);
    void serveRequest(const Request& request);
    void serveUploadRequest(const Request& request);
    void serveDownload(const Request& request);
    void receiveUpload(const char* fileName, std::intptr_t startCode, std::intptr_t endCode);
    std::string transferPath();

    // The line the threads use: the object's own serial port unless a test gave another.
    SerialConsolePort m_SerialLine{m_SerialPort};
    ConsolePort* m_pPort = &m_SerialLine;
    ConsoleClock* m_pClock = &realConsoleClock();

    std::atomic<HWND> m_hMsgWnd{nullptr};

    // The request, handed from the host to the write thread under m_requestMutex.
    mutable std::mutex m_requestMutex;
    std::condition_variable m_requestTaken;
    std::string m_strPath;          // file to download, or the directory for uploads
    BYTE m_byParam = 0;             // parameter byte of operations 9 and 10
    std::atomic<int> m_bRequested{0};
    std::uint64_t m_nGeneration = 0;

    std::atomic<int> m_nOperation{0};       // 0 when idle
    std::atomic<int> m_nTransferLength{0};  // download file's length, or 512
    std::atomic<int> m_nAckBlocks{0};       // acknowledged blocks
    std::uint8_t m_byChecksum = 0;          // running block checksum (write thread)
    std::atomic<int> m_bAnswer{0};          // an ACK or NAK arrived
    std::atomic<int> m_bNak{0};
    std::atomic<int> m_bWaitFirstAnswer{1};
    std::atomic<int> m_bUploadAbort{0};
    std::atomic<int> m_bUploadStarted{0};
    std::atomic<int> m_bDownloadDone{0};    // the console sent 0x04
    std::string m_strUploadFile;            // current upload file (read thread)
    std::atomic<long long> m_nUploadLimit{kUploadLimitBytes};

    std::mutex m_threadMutex;  // creating, stopping the threads
    std::unique_ptr<LinkThread> m_pWriteThread;
    std::unique_ptr<LinkThread> m_pReadThread;
};

}  // namespace kestro
