// Radiography parameter exports: kV, mA, ms, mAs, AEC density, field and film,
// technique, focus, receptor, tomography, pulse rate and pulse time, LCC, and the
// values that are only sent (PWP, ABS kV, the queued DDC), plus the mA table choice.

#include <mutex>

#include "api/operator_common.h"
#include "data/step_tables.h"

using namespace kestro;
using op::Command;

namespace {

constexpr int kFail = -1;
constexpr int kDensityFail = -10;

// Outside demonstration mode: a relative request sends the query or step command
// (any other relative value sends nothing and succeeds), an absolute one the value's
// last digitCount digits.
int sendStepped(CCommProtocol& link, std::string_view mnemonic, int digitCount, int kind, const LiveInt& stored,
                bool relative, int value) {
    if (relative) {
        std::optional<Command> command = op::stepCommand(mnemonic, value);
        if (!command) return stored;
        return op::sendThenRead(link, *command, kind, stored, kFail);
    }
    return op::sendThenRead(link, Command(mnemonic).digits(link, value, digitCount), kind, stored, kFail);
}

// Demonstration rule of the mA, ms and mAs values: an absolute value must be an entry
// of the table (213 as a log entry otherwise); a step moves over the table and is
// refused with stepRefusal when it leaves it.
int demoTableValue(CCommProtocol& link, std::span<const int> table, LiveInt& stored, bool relative, int value,
                   int stepRefusal) {
    if (!relative) {
        if (op::isEntry(table, value))
            stored = value;
        else
            link.PostErrorMessage(true, 213);
        return stored;
    }
    if (value == 0 || value < -2 || value > 2) return stored;
    if (std::optional<int> next = op::stepOverTable(table, stored, value))
        stored = *next;
    else
        link.PostErrorMessage(false, stepRefusal);
    return stored;
}

int tableMember(BYTE bRelative, int value, std::string_view mnemonic, int kind, LiveInt GeneratorData::*field,
                std::span<const int> (*table)(), int stepRefusal) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) {
        LiveInt& stored = d.*field;
        if (d.bDemo) return demoTableValue(link, table(), stored, bRelative != 0, value, stepRefusal);
        return sendStepped(link, mnemonic, 5, kind, stored, bRelative != 0, value);
    });
}

// A selection's query: value 0 sends it, any other value sends nothing and succeeds.
int query(CCommProtocol& link, int value, std::string_view text, int kind, const LiveInt& stored, int failure) {
    if (value != 0) return stored;
    return op::sendThenRead(link, Command(text), kind, stored, failure);
}

// Demonstration rule of a selection: accepted values are stored, others refused with
// 213 as a log entry; a query only returns the stored value.
template <typename Accept>
int demoSelection(CCommProtocol& link, LiveInt& stored, bool isQuery, int value, Accept accept) {
    if (!isQuery) {
        if (accept(value))
            stored = value;
        else
            link.PostErrorMessage(true, 213);
    }
    return stored;
}

}  // namespace

KESTRO_EXPORT(int) IO_RadKVValue(BYTE bRelative, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        const bool relative = bRelative != 0;
        if (d.bDemo) {
            int kv = d.radKV;
            if (!relative)
                kv = value;
            else if (value == -1)
                kv -= 1;
            else if (value == 1)
                kv += 1;
            if (kv < 40 || kv > 150)
                link.PostErrorMessage(false, 203);
            else
                d.radKV = kv;
            return d.radKV;
        }
        return sendStepped(link, "KV", 3, 0, d.radKV, relative, value);
    });
}

KESTRO_EXPORT(int) IO_RadMAValue(BYTE bRelative, int value) {
    return tableMember(bRelative, value, "MA", 1, &GeneratorData::radMA, &steps::maTable, 204);
}

KESTRO_EXPORT(int) IO_RadMSValue(BYTE bRelative, int value) {
    return tableMember(bRelative, value, "MS", 2, &GeneratorData::radMS, &steps::msTable, 205);
}

KESTRO_EXPORT(int) IO_RadMXValue(BYTE bRelative, int value) {
    return tableMember(bRelative, value, "MX", 3, &GeneratorData::radMAS, &steps::masTable, 206);
}

KESTRO_EXPORT(int) IO_RadAECDens(BYTE bQuery, int value) {
    return op::withLink(kDensityFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) {
            if (!bQuery) {
                if (value >= -8 && value <= 8)
                    d.aecDensity = value;
                else
                    link.PostErrorMessage(true, 212);
            }
            return d.aecDensity;
        }
        if (bQuery) return query(link, value, "FN?", 18, d.aecDensity, kDensityFail);
        if (value < -8 || value > 8) return kDensityFail;
        Command command("FN");
        if (value > 0)
            command.put('+').digits(link, value, 1);
        else if (value < 0)
            command.put('-').digits(link, -value, 1);
        else
            command.append(" 0");
        return op::sendThenRead(link, command, 18, d.aecDensity, kDensityFail);
    });
}

KESTRO_EXPORT(int) IO_RadAECField(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return demoSelection(link, d.aecField, bQuery, value, [](int v) { return v >= 0 && v <= 7; });
        if (bQuery) return query(link, value, "FI?", 16, d.aecField, kFail);
        if (value < 0 || value > 7) return kFail;
        Command command("FI");
        for (int bit = 2; bit >= 0; --bit) command.put((value >> bit) & 1 ? '1' : '0');
        return op::sendThenRead(link, command, 16, d.aecField, kFail);
    });
}

KESTRO_EXPORT(int) IO_RadAECFilm(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo)
            return demoSelection(link, d.aecFilm, bQuery, value, [](int v) { return v == 1 || v == 2 || v == 4; });
        if (bQuery) return query(link, value, "FS?", 17, d.aecFilm, kFail);
        const char* text = value == 1 ? "FS001" : value == 2 ? "FS010" : "FS100";
        return op::sendThenRead(link, Command(text), 17, d.aecFilm, kFail);
    });
}

KESTRO_EXPORT(int) IO_RadSelectTech(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return demoSelection(link, d.radTechnique, bQuery, value, [](int v) { return v >= 0 && v <= 3; });
        if (bQuery) return query(link, value, "ET?", 13, d.radTechnique, kFail);
        if (value < 0 || value > 3) return kFail;
        if (!op::send(link, Command("ET").digits(link, value, 1), 13)) return kFail;
        // A technique change clears the first byte of the technique record and the
        // status byte that start-up sets.
        d.SettingsImage[image::kTechniqueRecord] = 0;
        d.statusByte0 = 0;
        return d.radTechnique;
    });
}

KESTRO_EXPORT(int) IO_RadSelectFocus(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return demoSelection(link, d.focus, bQuery, value, [](int v) { return v == 0 || v == 1; });
        if (bQuery) return query(link, value, "FO?", 12, d.focus, kFail);
        if (value != 0 && value != 1) return kFail;
        return op::sendThenRead(link, Command(value ? "FO1" : "FO0"), 12, d.focus, kFail);
    });
}

KESTRO_EXPORT(int) IO_RFSelectReceptor(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) {
            if (!bQuery) {
                if (value >= 1 && value <= 6) {
                    d.receptor = value;
                    d.SettingsImage[image::kAuxiliarySetup] = static_cast<std::uint8_t>(value - 1);
                } else {
                    link.PostErrorMessage(true, 213);
                }
            }
            return d.receptor;
        }
        if (bQuery) return query(link, value, "WS?", 9, d.receptor, kFail);
        if (value < 1 || value > 6) return kFail;
        return op::sendThenRead(link, Command("WS").digits(link, value, 1), 9, d.receptor, kFail);
    });
}

KESTRO_EXPORT(int) IO_SelectTomo(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return d.bTomo;
        Command command(bQuery ? "TO?" : value == 0 ? "TO0" : "TO1");
        return op::sendThenRead(link, command, 11, d.bTomo, kFail);
    });
}

KESTRO_EXPORT(int) IO_LCCValue(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return d.lccValue;
        if (bQuery) return query(link, value, "LCC?", 206, d.lccValue, kFail);
        return op::sendThenRead(link, Command("LCC").digits(link, value, 5), 206, d.lccValue, kFail);
    });
}

KESTRO_EXPORT(int) IO_RADPPS(int bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return d.radPPS;
        if (bQuery) return query(link, value, "RPS?", 114, d.radPPS, kFail);
        return op::sendThenRead(link, Command("RPS").digits(link, value, 3), 114, d.radPPS, kFail);
    });
}

KESTRO_EXPORT(int) IO_RADPulTime(int bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return d.radPulseTime;
        if (bQuery) return query(link, value, "RPT?", 115, d.radPulseTime, kFail);
        return op::sendThenRead(link, Command("RPT").digits(link, value, 4), 115, d.radPulseTime, kFail);
    });
}

KESTRO_EXPORT(int) IO_SendAECPWP(int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (value < 0 || value > 100) return kFail;
        if (d.bDemo) return value;
        return op::sendThenRead(link, Command("PWP").digits(link, value, 3), 106, d.aecPWP, kFail);
    });
}

KESTRO_EXPORT(int) IO_SendABSKV(int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (value < 40 || value > 150) return kFail;
        if (d.bDemo) return value;
        return op::sendThenRead(link, Command("SPABS").digits(link, value, 3), 108, d.absKV, kFail);
    });
}

// Queues the value for the link's worker thread, which sends "DDC" with it on its next
// cycle. Request and value are written together under the lock the worker takes to
// read and clear them, so the worker never sends a stale value and never drops a
// request that arrived while it was busy.
KESTRO_EXPORT(int) IO_SendAECDDC(int value) {
    return op::withLink(0, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return 1;
        std::lock_guard<std::mutex> lock(link.m_DDCLock);
        link.m_nDDCValue = value;
        link.m_bSendDDC = 1;
        return 1;
    });
}

KESTRO_EXPORT(int) IO_ChooseRadMATable(int which) {
    return guarded(which, [&] {
        steps::chooseMaTable(which);
        return which;
    });
}
