#pragma once
// CCommProtocol: the generator link. The single owner of everything the library knows
// about the connected generator: transport, generator data, reply flags, state and mode,
// the two link threads and the buffers. CCtlProtocol (serial port) and CCanProtocol
// (CAN bus) derive from it; every exported function works through this base.
//
// Shared state is read and written by the host's threads, the reader thread and the
// worker thread: every flag, counter and live value is atomic, the send-busy flag is a
// real lock around building and writing a frame, and waits for reply flags are waits on
// a condition woken by the parser.

#include <array>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <kestro/kestro_types.h>

#include "config/ini_file.h"
#include "data/generator_data.h"
#include "diag/error_messages.h"
#include "diag/trace_log.h"
#include "dose/compatibility.h"
#include "link/apr_types.h"
#include "link/byte_transport.h"
#include "link/exchange_lock.h"
#include "link/link_statistics.h"
#include "link/link_thread.h"
#include "link/reply_ledger.h"
#include "link/unit_reader.h"

namespace kestro {

using LinkInt = std::atomic<std::int32_t>;
using LinkByte = std::atomic<std::uint8_t>;

class CCommProtocol {
public:
    static constexpr int kReplyFlagCount = 300;
    static constexpr std::size_t kRxBufferSize = 512;
    static constexpr std::size_t kTxBufferSize = 1024;

    CCommProtocol();
    virtual ~CCommProtocol();
    CCommProtocol(const CCommProtocol&) = delete;
    CCommProtocol& operator=(const CCommProtocol&) = delete;

    // ---- The twenty operations, in slot order -------------------------------------
    virtual int InitComm() = 0;
    virtual int InitComm(UINT port, UINT baud, UINT parity, UINT byteSize, UINT stopBits, UINT bufferSize) = 0;
    virtual int CloseComm() = 0;
    virtual int InitGen() = 0;
    virtual int ResetGen() = 0;
    virtual int SendCpuUnrestrictedCommand(char* cmd, int len) = 0;
    virtual int SendApplyAPRCommand(APRDataInfo& info) = 0;
    virtual int ApplyAPRDirectly(APRSourceData& data) = 0;
    virtual void AfterSelectReceptor() = 0;
    virtual int GetCpuCommandData_B(char* cmd, int len, int code) = 0;
    virtual int GetCpuMultiCommandData(int code) = 0;
    virtual int GetCpuCommandData(char* cmd, int len, int code) = 0;
    virtual int ProcessCpuDataBag(unsigned char* data, int len, int a, int b) = 0;
    virtual void UpdateDataBag(int a, int b) = 0;
    virtual unsigned char GetByteFromInt(int value, int digit) = 0;
    virtual void PostErrorMessage(bool flag, int code) = 0;
    virtual int resumeWriteThread() = 0;
    virtual int resumeReadThread() = 0;
    virtual int SuspendWorkThread() = 0;
    virtual void TerminateThreads() = 0;

    // ---- Members shared by both links ---------------------------------------------
    int setMsghWnd(HWND hWnd);

    // Senders (frames, state gate, acknowledgement).
    int SendCommand(const char* cmd, int len, int kind);
    int SendCommand_B(const char* cmd, int len, int kind);
    int SendData(const unsigned char* data, int len, int kind);
    int GetCpuCommandData_C(const char* cmd, int len, int kind);
    int GetCpuMultiCommandData_C(int kind);

    // UpdateDataBag with a result: 0 when a tube-file step it had to run (backup on a
    // Tube Select read, restore on a Tube Select write) failed; the image, or the tube
    // block, is then left as it was. 1 otherwise, also for bags without a mapping.
    int updateDataBagChecked(int bag, int direction);

    // Tube backup file: one 448-byte record per tube (tube 0 at 0, tube 1 at 448) in
    // m_strTubeFilePath. 1 when written / read, 0 when not.
    int BackupTubeData(int tube, unsigned char* bytes);
    int RestoreTubeData(int tube, unsigned char* destination);

    // Replaces the transport the link reads and writes (for embedding the link on a
    // byte source of one's own, such as a test's in-memory peer). Call it while the
    // link's threads are not running; the link does not take ownership.
    void setTransport(ByteTransport* transport) { m_pTransport = transport; }

    // Parser: takes exactly one unit off the transport and handles it.
    void ReceiveAndProcess();
    // One received byte; 0 when the receive was given up (abort flag, closed port).
    unsigned char ReceiveOneByte();
    // The same with a limit: also 0 when no byte arrives within timeoutMs (negative:
    // no limit).
    unsigned char receiveByteWithin(int timeoutMs);
    // The decimal number in buf[offset .. offset+count-1], digits not checked.
    static int GetValue(const unsigned char* buf, int offset, int count);

    // Called by the reader when the transport lost its device: marks the connection
    // down at once, then reopens the same device every kReopenPeriodMs until it is back
    // (or the device is closed on purpose, or the link stops).
    void reconnectLostPort();
    static constexpr int kReopenPeriodMs = 1000;
    // Times the lost device was opened again.
    std::atomic<std::uint64_t> m_nReconnections{0};
    // Traffic counters (written once to the trace when the link closes).
    LinkStatistics m_Stats;
    std::atomic<std::int64_t> m_nLastRoundTripNs{std::numeric_limits<std::int64_t>::max()};

    // Receive procedures of the three library modes.
    void ReceiveWorkModePro();
    void ReceiveProgModePro();
    void ReceiveCalibModePro();

    // Threads.
    static unsigned readThreadPro(void* link);
    static unsigned DllMainThreadPro(void* link);
    int startReadThread();
    int stopReadThread();
    int startWriteThread();
    int stopWriteThread();

    // Trace log.
    int OpenTraceFile();
    void WriteTraceLine(std::string_view text, int number, std::string_view suffix);
    void WriteTraceLine(std::string_view text);
    std::string MakeTraceTimeStamp();
    void PurgeTraceFiles(const std::string& directory, int keep);

    // Start-up: the auxiliary and AEC configuration from data packets 6 and 8. 1 when
    // every refresh succeeded.
    int LoadAuxiliaryConfig();
    // The dose-rate table from data packet 12 (src/dose/dose_rate.cpp); a failed
    // refresh keeps the previous table.
    void LoadDoseRateData();
    // The dose rate at kV interpolated from the table, or -1.0 (with a trace line).
    double CalculatekVDoseRate(int kV);

    // Error-message text of an error number (empty when there is none).
    std::string errorMessageText(int number) const;

    // Waits until pred() holds or timeoutMs passes; pred() is looked at whenever the
    // parser raises a reply flag and at least every millisecond (acknowledgement bytes
    // set their flags without waking anyone). true when it held.
    bool waitForCondition(int timeoutMs, const std::function<bool()>& pred);

    // Sends the 61-character radiography parameter block and waits until the generator
    // has confirmed its ten items: 1 confirmed, 0 refused (warning 64) or unconfirmed
    // after three attempts.
    int sendParameterBlock(const char* block);

    // Sets a reply flag and wakes every sender waiting for one.
    void raiseReplyFlag(int kind);
    // Waits until the reply flag of kind is set or timeoutMs passes; clears it and
    // returns true when it was set.
    bool waitReplyFlag(int kind, int timeoutMs);
    // Waits until an arrival of the exchange's kind has not been looked at yet, or the
    // deadline passes; true when there is one.
    bool waitArrival(const ReplyLedger::Exchange& exchange, std::chrono::steady_clock::time_point deadline);
    // On a link whose last answer came within kReplySpinLimit, watches for the
    // exchange's answer for about twice that time before the sender goes to sleep: the
    // answer then finds the sender running instead of having to wake it. A slow line
    // (any real serial line) never spins.
    void spinForArrival(const ReplyLedger::Exchange& exchange, std::chrono::steady_clock::time_point deadline);
    // The round trip of the last answered exchange, for spinForArrival.
    void noteRoundTrip(std::chrono::steady_clock::duration elapsed);
    static constexpr std::chrono::microseconds kReplySpinLimit{200};

    // Library mode and state gate.
    static bool kindAllowed(int genState, int kind, bool variantB);

    // ---- Data members ---------------------------------------------------------------
    std::atomic<HWND> m_hMsgWnd{nullptr};
    CPathConfig m_PathConfig;
    CFunctionConfig m_FunctionConfig;
    CLocalCommConfig m_LocalCommConfig;
    LinkInt m_bTraceSTHE{0};
    // Error time stamps: last EL acknowledgement, last EL message, last ER
    // acknowledgement, and one kept by the parser (seconds since 1970).
    std::atomic<std::int64_t> m_tLastELAck{0};
    std::atomic<std::int64_t> m_tLastEL{0};
    std::atomic<std::int64_t> m_tLastERAck{0};
    std::atomic<std::int64_t> m_tParser{0};
    LinkInt m_nHeatPollCount{0};
    LinkInt m_nPostExpPollCount{0};
    LinkInt m_nAckELCode{0};
    LinkInt m_nAckERCode{0};
    LinkInt m_nErr220Countdown{0};
    LinkInt m_nThermalErrorCount{0};
    LinkInt m_bErr220Pending{1};
    LinkInt m_nErrNumberUIReceived{0};
    struct WorkFlags {
        LinkInt bCommOk{0};
    } m_WorkFlags;
    std::array<LinkInt, kReplyFlagCount> m_ReplyFlags{};
    LinkInt m_bStopReceive{0};
    LinkInt m_bNakReceived{0};
    LinkInt m_bAckReceived{0};
    LinkInt m_bDataBagChecksumError{0};
    LinkInt m_bDataBagMode{0};
    // The send-busy flag: held while a frame is built in m_TxBuffer and written.
    std::mutex m_bSendBusy;
    GeneratorData* m_pData = nullptr;
    LinkByte m_bFluoroExposing{0};
    LinkInt m_nGenState{0};
    LinkInt m_nDllMode{0};
    LinkByte m_bSendDDC{0};
    LinkInt m_nDDCValue{0};
    std::mutex m_DDCLock;  // keeps the DDC request and its value together
    TraceLog m_TraceFile;
    std::string m_strTraceFileName;
    LinkInt m_bTestLogOpen{0};
    GenCompInfo gen_CompInfo;
    ErrorMessageTable m_ErrorMessages;
    std::vector<std::uint32_t> m_doseRateData;
    // Auxiliary and AEC configuration loaded at start-up.
    std::vector<std::uint32_t> m_AuxiliaryEnabled;
    std::vector<std::uint32_t> m_AuxiliaryAECChannel;
    std::vector<std::uint32_t> m_AECFilmSpeed;
    std::vector<std::uint32_t> m_AECField;
    std::mutex m_TablesLock;  // guards the five tables above
    // Read flags of data packets 1, 4, 8, 9, 10 and 11.
    std::array<LinkInt, 6> m_bPacketRead{};
    LinkInt m_bBackupTube{0};
    LinkInt m_bRestoreTube{0};
    std::string m_strTubeFilePath;
    LinkInt m_nLastDataBagKind{0};
    LinkInt m_nLastCommandKind{0};
    char m_szLastEL[5] = {};
    char m_szLastER[5] = {};
    std::mutex m_LastErrorLock;  // guards m_szLastEL and m_szLastER
    unsigned char m_RxBuffer[kRxBufferSize] = {};
    unsigned char m_TxBuffer[kTxBufferSize] = {};
    std::unique_ptr<LinkThread> m_pWriteThread;
    std::unique_ptr<LinkThread> m_pReadThread;
    // Only one data-bag, APR, tube-file or import/export operation at a time.
    std::recursive_mutex m_PacketOperationLock;
    // Answers owed to acknowledged attempts that timed out, per command kind.
    ReplyLedger m_ReplyLedger;
    // One exchange on the wire at a time: acknowledged commands, multi-commands,
    // parameter blocks and each data-bag frame with its reply. The data-bag mode is on
    // only inside a data-bag exchange.
    ExchangeLock m_ExchangeLock;

protected:
    // Called by the concrete constructor once its transport exists.
    void finishConstruction(ByteTransport* transport, std::atomic<int>* runFlag);
    // Called first by the concrete destructor (while its transport still exists).
    void beginDestruction();

    ByteTransport* transport() const { return m_pTransport; }
    // A frame transport's reader for the parser and the reader thread (nullptr: bytes
    // from the ByteTransport). Set it before the threads start; not owned.
    void setUnitReader(UnitReader* reader) { m_pUnitReader = reader; }
    // How long GetCpuCommandData_C waits per attempt (the CAN link answers faster).
    void setCommandWaitC(int milliseconds) { m_nCommandWaitCMs = milliseconds; }
    // The run flag of the concrete class's threads (its static `thread`).
    std::atomic<int>& runFlag() const { return *m_pRunFlag; }

    // Behaviour both links share; the concrete operations call these.
    int initGenShared(bool setStateAfterStart);
    int resetGenShared();
    int getCpuCommandDataShared(const char* cmd, int len, int kind);
    int getCpuCommandDataBShared(const char* cmd, int len, int kind);
    int sendCpuUnrestrictedCommandShared(const char* cmd, int len);
    void postErrorMessageShared(bool logEntry, int code);
    int resumeThread(std::unique_ptr<LinkThread>& thread);
    int suspendWorkThreadShared();
    void stopThreadsShared();
    int getCpuMultiCommandDataShared(int kind);
    int processCpuDataBagShared(unsigned char* data, int len, int a, int b);
    void updateDataBagShared(int a, int b);
    int sendApplyAPRCommandShared(APRDataInfo& info);
    int applyAPRDirectlyShared(APRSourceData& data);
    void afterSelectReceptorShared();

    // Posts WM_GEN_NOTIFY to the registered window (a missing window is ignored).
    void notifyHost(std::uintptr_t wParam, std::intptr_t lParam);

    std::mutex m_ReplyMutex;
    std::condition_variable m_ReplyArrived;

private:
    ByteTransport* m_pTransport = nullptr;
    UnitReader* m_pUnitReader = nullptr;
    int m_nCommandWaitCMs = 200;
    std::atomic<int>* m_pRunFlag = nullptr;
};

// Digit function shared by both links: digit 1 is the units, 2..5 the higher digits.
unsigned char byteFromInt(int value, int digit);

}  // namespace kestro
