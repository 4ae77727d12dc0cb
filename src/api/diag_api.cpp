// Error and trace exports.

#include <string>

#include "api/export.h"

using namespace kestro;

KESTRO_EXPORT(void) IO_WriteLog(const char* text, int number, const char* suffix) {
    guardedVoid([&] {
        CCommProtocol* link = activeLink();
        if (!link || !link->m_pData || link->m_pData->bDemo) return;
        link->WriteTraceLine(text ? text : "", number, suffix ? suffix : "");
    });
}

KESTRO_EXPORT(void) GSIWriteTrace(const char* text, int number, const char* suffix) { IO_WriteLog(text, number, suffix); }

KESTRO_EXPORT(void) IO_OpenTestLog(void) {
    guardedVoid([] {
        CCommProtocol* link = activeLink();
        if (!link || link->m_pData->bDemo) return;
        link->OpenTraceFile();
    });
}

KESTRO_EXPORT(void) IO_CloseTestLog(void) {
    guardedVoid([] {
        CCommProtocol* link = activeLink();
        if (!link || link->m_pData->bDemo || link->m_bTestLogOpen == 0) return;
        link->m_TraceFile.close();
        link->m_bTestLogOpen = 0;
    });
}

KESTRO_EXPORT(KestroString) IO_GetErrorMessage(int code) {
    thread_local std::string text;
    return guarded(KestroString{""}, [&] {
        CCommProtocol* link = activeLink();
        text = link ? link->errorMessageText(code) : std::string();
        return KestroString{text.c_str()};
    });
}

KESTRO_EXPORT(const char*) GIGetGenErrorInformation(int code, int* number) {
    thread_local std::string text;
    return guarded<const char*>("", [&] {
        CCommProtocol* link = activeLink();
        text = splitNumberedMessage(link ? link->errorMessageText(code) : std::string(), number);
        return text.c_str();
    });
}

KESTRO_EXPORT(int) IO_GetErrNumberUIReceived(int number) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        if (!link) return 0;
        link->m_nErrNumberUIReceived = number;
        return number;
    });
}

KESTRO_EXPORT(int) IO_GetThermalErrorCount(void) {
    return guarded(0, [] {
        CCommProtocol* link = activeLink();
        return link ? static_cast<int>(link->m_nThermalErrorCount) : 0;
    });
}
