#include "config/ini_file.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace kestro {

CIniFile::CIniFile() { setPath(hostDirectory() + "\\" + kPathIndex); }

CIniFile::CIniFile(std::string_view path) { setPath(path); }

CIniFile::CIniFile(FromPathIndex, std::string_view indexKey) {
    CIniFile index;
    setPath(hostDirectory() + index.GetString("INI Path", indexKey, ""));
}

void CIniFile::setPath(std::string_view path) {
    m_strFullPath.assign(path);
    const std::size_t limit = platform::profilePathLimit();
    m_bPathCut = limit != 0 && path.size() > limit;
    m_szPath.assign(m_bPathCut ? path.substr(0, limit) : path);
}

const std::string& CIniFile::hostDirectory() {
    if (!m_bHostDirKnown) {
        m_strHostDir = platform::hostDirectory();
        m_bHostDirKnown = true;
    }
    return m_strHostDir;
}

int CIniFile::GetInt(std::string_view section, std::string_view key, int defaultValue) const {
    return platform::profileGetInt(m_szPath, section, key, defaultValue);
}

std::string CIniFile::GetString(std::string_view section, std::string_view key, std::string_view defaultValue) const {
    return platform::profileGetString(m_szPath, section, key, defaultValue, kPathSize);
}

int CIniFile::WriteInt(std::string_view section, std::string_view key, int value) const {
    return WriteString(section, key, std::to_string(value));
}

int CIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) const {
    return platform::profileWriteString(m_szPath, section, key, value) ? 1 : 0;
}

std::string CFunctionConfig::compEntry(int index) const {
    return GetString("CompInformation", std::to_string(index), "");
}

std::string CFunctionConfig::kwMsTableRow(int index) const {
    return GetString("GEN_KW_MS_TABLE", std::to_string(index), "");
}

std::string CPathConfig::errorMessageFile() {
    return hostDirectory() + GetString("ErrorCodePath", "PCInfoPath", "");
}

SerialSettings readSerialSettings(const CLocalCommConfig& config) {
    SerialSettings s;
    int port = config.com();
    s.port = port < 1 ? 1u : static_cast<unsigned>(port);

    std::string baud = config.baud();
    s.baud = baud == "4800" ? 4800u : baud == "9600" ? 9600u : 19200u;

    std::string stop = config.stopBit();
    s.stopBits = stop == "1" ? 1u : stop == "1.5" ? 2u : stop == "2" ? 3u : 1u;

    std::string parity = config.parity();
    s.parity = parity == "odd" ? 1u : parity == "even" ? 2u : 0u;

    std::string bits = config.dataBit();
    s.byteSize = (bits.size() == 1 && bits[0] >= '4' && bits[0] <= '8') ? static_cast<unsigned>(bits[0] - '0') : 8u;
    return s;
}

}  // namespace kestro
