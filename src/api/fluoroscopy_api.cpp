// Fluoroscopy exports: kV, mA, pulse rate, magnification, mode, dose level, dose rate,
// ABS mode, FPP, the two timers and their reset.

#include "api/operator_common.h"
#include "platform/platform.h"

using namespace kestro;
using op::Command;

namespace {

constexpr int kFail = -1;
constexpr int kPulseRates[] = {30, 75, 150, 300};

bool absControlsExposure(const GeneratorData& d) { return d.fluoABS == 1 || d.fluoABS == 2; }

// Outside demonstration mode: a relative request sends the query or step command when
// the value is one of `steps` (any other value sends nothing and succeeds), an
// absolute one the value's last three digits.
int sendStepped(CCommProtocol& link, std::string_view mnemonic, int kind, const LiveInt& stored, bool relative,
                int value, int maxStep) {
    if (relative) {
        if (value < -maxStep || value > maxStep) return stored;
        std::optional<Command> command = op::stepCommand(mnemonic, value);
        if (!command) return stored;
        return op::sendThenRead(link, *command, kind, stored, kFail);
    }
    return op::sendThenRead(link, Command(mnemonic).digits(link, value, 3), kind, stored, kFail);
}

// A selection's query: value 0 sends it, any other value sends nothing and succeeds.
int query(CCommProtocol& link, int value, std::string_view text, int kind, const LiveInt& stored) {
    if (value != 0) return stored;
    return op::sendThenRead(link, Command(text), kind, stored, kFail);
}

// Demonstration rule of a one-digit selection: first..last stored, others refused
// with 213 as a log entry; a query returns the stored value.
int demoSelection(CCommProtocol& link, LiveInt& stored, bool isQuery, int value, int first, int last) {
    if (!isQuery) {
        if (value >= first && value <= last)
            stored = value;
        else
            link.PostErrorMessage(true, 213);
    }
    return stored;
}

// A one-digit selection set outside demonstration mode. Mode and ABS changes during a
// running fluoroscopy mark the generator state 15 for the change and give the
// generator 100 ms before the command, then return to state 14 if fluoroscopy still
// runs.
int sendSelection(CCommProtocol& link, std::string_view mnemonic, int kind, const LiveInt& stored, int value,
                  bool pauseFluoroscopy) {
    Command command = Command(mnemonic).digits(link, value, 1);
    const bool pause = pauseFluoroscopy && link.m_bFluoroExposing != 0;
    if (pause) {
        link.m_nGenState = 15;
        platform::sleepMs(100);
    }
    const bool acknowledged = op::send(link, command, kind);
    if (pause && link.m_bFluoroExposing != 0) link.m_nGenState = 14;
    return acknowledged ? stored.load() : kFail;
}

}  // namespace

KESTRO_EXPORT(int) IO_FluoKVValue(BYTE bRelative, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        const bool relative = bRelative != 0;
        if (!d.bDemo) return sendStepped(link, "FLK", 32, d.fluoKV, relative, value, 2);
        if (relative && (value == 0 || value < -2 || value > 2)) return d.fluoKV;
        if (absControlsExposure(d)) {
            link.PostErrorMessage(false, 49);
            return d.fluoKV;
        }
        int kv = relative ? d.fluoKV + (value == -1 ? -1 : value == 1 ? 1 : 0) : value;
        if (kv < 40 || kv > 125)
            link.PostErrorMessage(false, 203);
        else
            d.fluoKV = kv;
        return d.fluoKV;
    });
}

KESTRO_EXPORT(int) IO_FluoMAValue(BYTE bRelative, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        const bool relative = bRelative != 0;
        if (!d.bDemo) return sendStepped(link, "FLM", 33, d.fluoMA, relative, value, 2);
        if (relative && (value == 0 || value < -2 || value > 2)) return d.fluoMA;
        if (absControlsExposure(d)) {
            link.PostErrorMessage(false, 49);
            return d.fluoMA;
        }
        int ma = relative ? d.fluoMA + (value == -1 ? -10 : value == 1 ? 10 : 0) : value;
        if (ma < 5 || ma > 200)
            link.PostErrorMessage(!relative, 204);
        else
            d.fluoMA = ma;
        return d.fluoMA;
    });
}

KESTRO_EXPORT(int) IO_FluoPPSValue(BYTE bRelative, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        const bool relative = bRelative != 0;
        if (!d.bDemo) return sendStepped(link, "FLS", 36, d.fluoPPS, relative, value, 1);
        if (!relative) {
            if (op::isEntry(kPulseRates, value))
                d.fluoPPS = value;
            else
                link.PostErrorMessage(true, 213);
            return d.fluoPPS;
        }
        if (value != -1 && value != 1) return d.fluoPPS;
        if (std::optional<int> next = op::stepOverTable(kPulseRates, d.fluoPPS, value))
            d.fluoPPS = *next;
        else
            link.PostErrorMessage(false, 219);
        return d.fluoPPS;
    });
}

KESTRO_EXPORT(int) IO_FluoMAGValue(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) {
            const int wanted = bQuery ? d.fluoMag.load() : value;
            if (wanted >= 0 && wanted <= 3) d.fluoMag = wanted;
            return d.fluoMag;
        }
        if (bQuery) return query(link, value, "FLZ?", 41, d.fluoMag);
        Command command("FLZ");
        if (value >= 0 && value <= 3)
            command.digits(link, value, 1);
        else if (value == 255)
            command.put(static_cast<char>(0xFE));
        else
            return kFail;
        return op::sendThenRead(link, command, 41, d.fluoMag, kFail);
    });
}

KESTRO_EXPORT(int) IO_FluoSelectMode(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return demoSelection(link, d.fluoMode, bQuery, value, 0, 3);
        if (bQuery) return query(link, value, "FLF?", 37, d.fluoMode);
        if (value < 0 || value > 3) return kFail;
        return sendSelection(link, "FLF", 37, d.fluoMode, value, true);
    });
}

KESTRO_EXPORT(int) IO_FluoSelectDose(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return demoSelection(link, d.fluoDose, bQuery, value, 0, 2);
        if (bQuery) return query(link, value, "FLD?", 43, d.fluoDose);
        if (value < 0 || value > 2) return kFail;
        return sendSelection(link, "FLD", 43, d.fluoDose, value, false);
    });
}

KESTRO_EXPORT(int) IO_FluoSelectDoseRate(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return demoSelection(link, d.fluoDoseRate, bQuery, value, 0, 2);
        // A generator without dose-rate selection under ABS reports the fixed 100.
        if (link.gen_CompInfo.ABSDoseRate == 0) return 100;
        if (bQuery) return query(link, value, "FDR?", 207, d.fluoDoseRate);
        if (value < 0 || value > 2) return kFail;
        return sendSelection(link, "FDR", 207, d.fluoDoseRate, value, false);
    });
}

KESTRO_EXPORT(int) IO_FluoSelectABS(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return demoSelection(link, d.fluoABS, bQuery, value, 0, 2);
        if (bQuery) return query(link, value, "FLA?", 40, d.fluoABS);
        if (value < 0 || value > 3) return kFail;
        return sendSelection(link, "FLA", 40, d.fluoABS, value, true);
    });
}

KESTRO_EXPORT(int) IO_FluoFPPValue(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return d.fluoFPP;
        if (bQuery) return query(link, value, "FPP?", 203, d.fluoFPP);
        return op::sendThenRead(link, Command("FPP").digits(link, value, 3), 203, d.fluoFPP, kFail);
    });
}

KESTRO_EXPORT(int) IO_FluoGetIntTimer(BYTE bQuery) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo || !bQuery) return d.fluoIntTimer;
        return op::sendThenRead(link, Command("FLI?"), 34, d.fluoIntTimer, kFail);
    });
}

KESTRO_EXPORT(int) IO_FluoGetAccTimer(BYTE bQuery) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo || !bQuery) return d.fluoAccTimer;
        return op::sendThenRead(link, Command("FLT?"), 35, d.fluoAccTimer, kFail);
    });
}

KESTRO_EXPORT(int) IO_FluoTimerReset(int which) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo && which == 0) return d.fluoIntTimer = 0;
        if (d.bDemo && which == 1) return d.fluoAccTimer = 0;
        return op::sendThenRead(link, Command(which == 0 ? "FLR0" : "FLR1"), 42, d.fluoTimerResetState, kFail);
    });
}
