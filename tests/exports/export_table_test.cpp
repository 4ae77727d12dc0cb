// Checks of the export table src/api/exports.tsv: the ordinal layout host programs
// bind to, the exact names, the order of the class members and the form of every
// C declaration. The table is read at run time from KESTRO_EXPORT_TABLE.
//
// The parsing here is written independently of cmake/KestroExports.cmake on purpose.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Row {
    int line = 0;
    int ordinal = 0;
    std::string name;
    std::string kind;
    std::string declaration;
    std::string implemented;
    std::string internal;
    int columns = 0;
};

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> out;
    std::string::size_type start = 0;
    for (;;) {
        auto tab = line.find('\t', start);
        out.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) {
            return out;
        }
        start = tab + 1;
    }
}

std::vector<Row> loadTable() {
    std::ifstream in(KESTRO_EXPORT_TABLE);
    if (!in) {
        ADD_FAILURE() << "cannot open " << KESTRO_EXPORT_TABLE;
        return {};
    }
    std::vector<Row> rows;
    std::string text;
    int lineNo = 0;
    while (std::getline(in, text)) {
        ++lineNo;
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        auto first = text.find_first_not_of(" \t");
        if (first == std::string::npos || text[first] == '#') {
            continue;
        }
        auto cols = splitTabs(text);
        Row row;
        row.line = lineNo;
        row.columns = static_cast<int>(cols.size());
        if (cols.size() >= 5) {
            row.ordinal = std::atoi(cols[0].c_str());
            row.name = cols[1];
            row.kind = cols[2];
            row.declaration = cols[3];
            row.implemented = cols[4];
        }
        if (cols.size() >= 6) {
            row.internal = cols[5];
        }
        rows.push_back(row);
    }
    return rows;
}

class ExportTable : public ::testing::Test {
protected:
    static void SetUpTestSuite() { rows_ = new std::vector<Row>(loadTable()); }
    static void TearDownTestSuite() {
        delete rows_;
        rows_ = nullptr;
    }

    static const std::vector<Row>& rows() { return *rows_; }

    static const Row* byOrdinal(int ordinal) {
        for (const auto& row : rows()) {
            if (row.ordinal == ordinal) {
                return &row;
            }
        }
        return nullptr;
    }

private:
    static std::vector<Row>* rows_;
};

std::vector<Row>* ExportTable::rows_ = nullptr;

std::string trim(const std::string& s) {
    auto b = s.find_first_not_of(' ');
    if (b == std::string::npos) {
        return {};
    }
    auto e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

// Collapses blanks and attaches '*' and '&' to the type before them.
std::string normaliseType(std::string s) {
    std::string out;
    bool blank = false;
    for (char c : s) {
        if (c == ' ') {
            blank = true;
            continue;
        }
        if (blank && !out.empty() && c != '*' && c != '&') {
            out += ' ';
        }
        blank = false;
        out += c;
    }
    return out;
}

struct Argument {
    std::string type;
    std::string name;
};

// Splits "unsigned char* bytes" into its type and its name.
bool splitArgument(const std::string& text, Argument& arg) {
    static const std::regex form(R"(^(.*[ *&])\s*([A-Za-z_][A-Za-z0-9_]*)$)");
    std::smatch m;
    std::string t = trim(text);
    if (!std::regex_match(t, m, form)) {
        return false;
    }
    arg.type = normaliseType(trim(m[1].str()));
    arg.name = m[2].str();
    return !arg.type.empty() && arg.type != "const";
}

std::vector<std::string> splitCommas(const std::string& s) {
    std::vector<std::string> out;
    std::stringstream in(s);
    std::string part;
    while (std::getline(in, part, ',')) {
        out.push_back(part);
    }
    return out;
}

struct CDeclaration {
    std::string result;
    std::string name;
    std::vector<Argument> args;
};

// Parses "<result> KESTRO_CALL <name>(<arguments>)"; "(void)" is the empty list.
bool parseCDeclaration(const std::string& text, CDeclaration& decl, std::string& why) {
    static const std::regex form(R"(^(.+) KESTRO_CALL ([A-Za-z_][A-Za-z0-9_]*)\((.*)\)$)");
    std::smatch m;
    if (!std::regex_match(text, m, form)) {
        why = "not of the form <result> KESTRO_CALL <name>(<arguments>)";
        return false;
    }
    decl.result = normaliseType(trim(m[1].str()));
    decl.name = m[2].str();
    decl.args.clear();
    std::string args = trim(m[3].str());
    if (args == "void") {
        return true;
    }
    if (args.empty()) {
        why = "empty argument list must be written (void)";
        return false;
    }
    for (const auto& part : splitCommas(args)) {
        Argument arg;
        if (!splitArgument(part, arg)) {
            why = "argument '" + trim(part) + "' lacks a type or a name";
            return false;
        }
        decl.args.push_back(arg);
    }
    return true;
}

bool isPointer(const std::string& type) { return !type.empty() && type.back() == '*'; }

std::string withoutConst(const std::string& type) {
    return type.rfind("const ", 0) == 0 ? type.substr(6) : type;
}

const std::set<std::string>& scalarTypes() {
    static const std::set<std::string> types{"int",     "unsigned int", "unsigned char", "char",
                                             "uint32_t", "int32_t",     "float",         "double",
                                             "HWND"};
    return types;
}

// Bytes the arguments take on the 32-bit x86 stack: the N of the stdcall name Name@N.
int stackBytes(const CDeclaration& decl) {
    int bytes = 0;
    for (const auto& arg : decl.args) {
        bytes += (!isPointer(arg.type) && withoutConst(arg.type) == "double") ? 8 : 4;
    }
    return bytes;
}

struct Block {
    int first;
    int last;
};

const std::vector<Block>& blocks() {
    static const std::vector<Block> b{{1, 211},     {501, 561},   {1001, 1003},
                                      {1005, 1016}, {1050, 1056}, {1058, 1068}};
    return b;
}

TEST_F(ExportTable, RowsAreWellFormed) {
    ASSERT_FALSE(rows().empty());
    std::set<int> ordinals;
    std::set<std::string> names;
    for (const auto& row : rows()) {
        SCOPED_TRACE("line " + std::to_string(row.line));
        ASSERT_TRUE(row.columns == 5 || row.columns == 6) << row.columns << " columns";
        EXPECT_GT(row.ordinal, 0);
        EXPECT_TRUE(ordinals.insert(row.ordinal).second) << "duplicate ordinal " << row.ordinal;
        EXPECT_TRUE(names.insert(row.name).second) << "duplicate name " << row.name;
        EXPECT_TRUE(row.kind == "c" || row.kind == "member" || row.kind == "vtable" ||
                    row.kind == "static")
            << row.kind;
        EXPECT_TRUE(row.implemented == "yes" || row.implemented == "no") << row.implemented;
        if (row.kind == "c") {
            EXPECT_TRUE(row.internal.empty()) << "internal symbol on a c row";
            EXPECT_TRUE(std::regex_match(row.name, std::regex("[A-Za-z_][A-Za-z0-9_]*")))
                << row.name;
        } else {
            EXPECT_EQ(row.name.rfind('?', 0), 0u) << row.name << " is not a decorated name";
        }
    }
}

TEST_F(ExportTable, OccupiesExactlyTheOrdinalBlocks) {
    std::vector<int> expected;
    for (const auto& b : blocks()) {
        for (int o = b.first; o <= b.last; ++o) {
            expected.push_back(o);
        }
    }
    std::vector<int> actual;
    for (const auto& row : rows()) {
        actual.push_back(row.ordinal);
    }
    std::sort(actual.begin(), actual.end());
    EXPECT_EQ(actual.size(), 305u);
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(actual.back(), 1068);
}

TEST_F(ExportTable, FamiliesHaveTheirSizesAndPlaces) {
    std::map<std::string, int> counts;
    for (const auto& row : rows()) {
        std::string family;
        bool inside = false;
        if (row.kind != "c") {
            family = row.kind;
            inside = row.ordinal >= 46 && row.ordinal <= 211;
        } else if (row.name.rfind("IO_", 0) == 0) {
            family = "IO_";
            inside = row.ordinal <= 130;
        } else if (row.name.rfind("GSI", 0) == 0) {
            family = "GSI";
            inside = row.ordinal >= 1001;
        } else if (row.name.rfind("GI", 0) == 0) {
            family = "GI";
            inside = row.ordinal >= 501 && row.ordinal <= 561;
        } else {
            ADD_FAILURE() << row.name << " belongs to no family";
            continue;
        }
        counts[family]++;
        EXPECT_TRUE(inside) << row.name << " at ordinal " << row.ordinal
                            << " is outside its family's range";
    }
    const std::map<std::string, int> expected{{"IO_", 106}, {"GI", 61},    {"GSI", 33},
                                              {"member", 99}, {"vtable", 3}, {"static", 3}};
    for (const auto& [family, n] : expected) {
        EXPECT_EQ(counts[family], n) << family;
    }
}

TEST_F(ExportTable, SlotsBindToTheirNames) {
    const std::vector<std::pair<int, std::string>> bound{
        {1, "IO_GetModelPointerByte"},
        {6, "IO_RadKVValue"},
        {45, "IO_UtilityModelData"},
        {46, "??0CCanProtocol@@QAE@XZ"},
        {50, "IO_SetDllMode"},
        {80, "??_7CCanProtocol@@6B@"},
        {130, "IO_GetGenPhase"},
        {131, "?GetCpuCommandData@CCtlProtocol@@UAEHPADHH@Z"},
        {211, "?thread@CMyProtocl@@2HA"},
        {501, "GIIncreaseKVOneStep"},
        {505, "GIGetKV"},
        {550, "GIGetKestroDLLVersion"},
        {561, "GISetSerialCommPort"},
        {1001, "GSICheckMAIsValid"},
        {1011, "GSIInitConsole"},
        {1053, "GSISetTubeCalibratiobTube"},
        {1058, "GSIApplyWholeTubeFile"},
        {1068, "GSIGetFileVersion"},
    };
    for (const auto& [ordinal, name] : bound) {
        const Row* row = byOrdinal(ordinal);
        ASSERT_NE(row, nullptr) << "ordinal " << ordinal << " is empty";
        EXPECT_EQ(row->name, name) << "ordinal " << ordinal;
    }
    for (int empty : {0, 212, 500, 1004, 1017, 1049, 1057, 1069}) {
        EXPECT_EQ(byOrdinal(empty), nullptr) << "ordinal " << empty << " must stay empty";
    }
}

TEST_F(ExportTable, ClassMembersAreInByteOrderOfDecoratedNames) {
    // Ordinals 46..211 hold the class members in ascending byte order of their
    // decorated names, interleaved with IO_ functions up to 130 and alone from 131 on.
    std::vector<const Row*> members;
    for (int o = 46; o <= 211; ++o) {
        const Row* row = byOrdinal(o);
        ASSERT_NE(row, nullptr);
        if (o >= 131) {
            EXPECT_NE(row->kind, "c") << "ordinal " << o << " must be a class member";
        }
        if (row->kind != "c") {
            members.push_back(row);
        }
    }
    ASSERT_EQ(members.size(), 105u);
    for (std::size_t i = 1; i < members.size(); ++i) {
        // std::string compares as unsigned char, i.e. in byte order.
        EXPECT_LT(members[i - 1]->name, members[i]->name)
            << "ordinals " << members[i - 1]->ordinal << " and " << members[i]->ordinal;
    }
}

TEST_F(ExportTable, CDeclarationsMatchTheirRows) {
    std::map<std::string, int> bytes;
    std::map<std::string, int> hostBytes;
    std::set<std::string> stringOnly;
    for (const auto& row : rows()) {
        if (row.kind != "c") {
            continue;
        }
        SCOPED_TRACE(row.name + " (line " + std::to_string(row.line) + ")");
        CDeclaration decl;
        std::string why;
        ASSERT_TRUE(parseCDeclaration(row.declaration, decl, why)) << why;
        EXPECT_EQ(decl.name, row.name);
        const std::string result = withoutConst(decl.result);
        EXPECT_TRUE(isPointer(decl.result) || scalarTypes().count(result) || result == "void" ||
                    result == "KestroString")
            << "result type " << decl.result;
        std::set<std::string> argNames;
        for (const auto& arg : decl.args) {
            EXPECT_TRUE(isPointer(arg.type) || scalarTypes().count(withoutConst(arg.type)) ||
                        arg.type == "KestroStringArg")
                << "argument type " << arg.type;
            EXPECT_TRUE(argNames.insert(arg.name).second) << "argument name " << arg.name << " twice";
            // Framework strings travel by value (KestroStringArg) or as a returned
            // KestroString, never by pointer; only the IO_ family takes them, the GSI
            // forms take zero-terminated texts.
            if (arg.type.find("KestroString") != std::string::npos) {
                EXPECT_EQ(arg.type, "KestroStringArg");
                EXPECT_EQ(row.name.rfind("IO_", 0), 0u) << "a framework string outside the IO_ family";
            }
        }
        bytes[row.name] = stackBytes(decl);
        // The Windows host form of a KestroString result takes a hidden result pointer.
        hostBytes[row.name] = bytes[row.name] + (result == "KestroString" ? 4 : 0);
        if (decl.args.size() == 1 && decl.args[0].type == "KestroStringArg") stringOnly.insert(row.name);
    }
    // The IO_ exports that take a path or text as a framework string.
    for (const char* name : {"IO_ExportGenData", "IO_ImportGenData", "IO_ImportAECCalibData",
                             "IO_ImportDAPCalibData", "IO_ImportTubeCalibData", "IO_ImportGenOtherData"}) {
        EXPECT_TRUE(stringOnly.count(name)) << name;
    }
    // What Microsoft's compiler expects the framework-string exports to remove.
    EXPECT_EQ(hostBytes["IO_GetErrorMessage"], 8);
    EXPECT_EQ(hostBytes["IO_GetGenCPUVersion"], 4);
    EXPECT_EQ(hostBytes["IO_WriteLog"], 12);
    EXPECT_EQ(hostBytes["IO_ConsoleDownLoad"], 12);
    // Stack sizes the calling convention fixes for these exports (the callee removes
    // exactly this many bytes): GISetKV 8, GISetCommunicationMode 4; the ten values of
    // GIApplyAPRData are laid out like an _APRSourceData record; the two doubles and
    // the pointer of the DAP call make five 32-bit words.
    const std::vector<std::pair<std::string, int>> known{
        {"GISetKV", 8},         {"GISetCommunicationMode", 4}, {"GIApplyAPRData", 40},
        {"GIGetDAPValueAfterExposure", 20}, {"IO_GetDAPValueAfterExposure", 20},
        {"IO_InitComm", 28},    {"IO_GetSTValue", 0},          {"IO_RadKVValue", 8},
    };
    for (const auto& [name, n] : known) {
        EXPECT_EQ(bytes[name], n) << name;
    }
}

// --- Decorated names against an independent demangler ------------------------------

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
    for (auto pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size())) {
        s.replace(pos, from.size(), to);
    }
    return s;
}

// "public: virtual int __thiscall C::f(struct _X &, char *)" -> "public virtual int C::f(_X&, char*)"
std::string normaliseDemangled(std::string s) {
    for (const char* drop : {"__thiscall ", "__cdecl ", "__stdcall ", "struct "}) {
        s = replaceAll(s, drop, "");
    }
    s = replaceAll(s, "public: ", "public ");
    s = replaceAll(s, "protected: ", "protected ");
    s = replaceAll(s, "private: ", "private ");
    s = replaceAll(s, " *", "*");
    s = replaceAll(s, " &", "&");
    s = replaceAll(s, "(void)", "()");
    s = replaceAll(s, "HWND__*", "HWND");
    s = replaceAll(s, "`vftable'", "vftable");
    return trim(s);
}

// "public int C::f(int tube, unsigned char* bytes)" -> "public int C::f(int, unsigned char*)"
std::string descriptionWithoutArgumentNames(const std::string& description) {
    auto open = description.find('(');
    auto close = description.rfind(')');
    if (open == std::string::npos || close == std::string::npos) {
        return description;
    }
    std::string args = description.substr(open + 1, close - open - 1);
    std::string out = description.substr(0, open + 1);
    bool first = true;
    for (const auto& part : splitCommas(args)) {
        if (trim(part).empty()) {
            continue;
        }
        Argument arg;
        out += first ? "" : ", ";
        out += splitArgument(part, arg) ? arg.type : ("<unnamed:" + trim(part) + ">");
        first = false;
    }
    return out + description.substr(close);
}

std::string run(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        return out;
    }
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe.get())) > 0) {
        out.append(buf, n);
    }
    return out;
}

TEST_F(ExportTable, DecoratedNamesDemangleToTheirDescriptions) {
#ifndef KESTRO_UNDNAME
    GTEST_SKIP() << "llvm-undname not found at configure time";
#else
    std::string command = KESTRO_UNDNAME;
    std::vector<const Row*> decorated;
    for (const auto& row : rows()) {
        if (row.kind != "c") {
            decorated.push_back(&row);
            command += " '" + row.name + "'";
        }
    }
    ASSERT_FALSE(decorated.empty());
    // llvm-undname prints each input name followed by its demangled form.
    std::vector<std::string> lines;
    std::stringstream out(run(command + " 2>&1"));
    for (std::string line; std::getline(out, line);) {
        if (!trim(line).empty()) {
            lines.push_back(line);
        }
    }
    ASSERT_EQ(lines.size(), 2 * decorated.size()) << "unexpected demangler output";
    for (std::size_t i = 0; i < decorated.size(); ++i) {
        const Row& row = *decorated[i];
        ASSERT_EQ(lines[2 * i], row.name);
        EXPECT_EQ(normaliseDemangled(lines[2 * i + 1]), descriptionWithoutArgumentNames(row.declaration))
            << "ordinal " << row.ordinal << " " << row.name;
    }
#endif
}

}  // namespace
