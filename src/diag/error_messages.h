#pragma once
// The error-message table: texts of error numbers, loaded from the site's
// error-message file (section "Error Messages", key "0" the count, keys "1".."N").

#include <string>
#include <vector>

namespace kestro {

class ErrorMessageTable {
public:
    // Loads keys "1".."N" of the file; a missing file gives an empty table.
    void load(const std::string& file);

    // Table entry (from 0) for an error number when the file's count is n, or -1:
    // 1..73 -> number-1, 100..105 -> number-27, 200..n+120 -> number-121.
    static int entryFor(int number, int n);

    // Text of an error number: the file's key "0" is read again for the upper bound of
    // the last range; empty when the number maps to nothing or past the loaded table.
    std::string text(int number) const;

    const std::vector<std::string>& entries() const { return m_entries; }

private:
    std::string m_file;
    std::vector<std::string> m_entries;
};

// Splits "number:text". Returns the text after the first ':' and stores the number,
// or stores 0 and returns empty when the form does not hold (no ':', number outside
// 1..100, nothing after the ':').
std::string splitNumberedMessage(const std::string& message, int* number);

}  // namespace kestro
