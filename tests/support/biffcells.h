#pragma once

// Reads back the records of a BIFF2 worksheet, for checking that the export wrote a whole one.

#include <cstdint>
#include <string>
#include <vector>

namespace velto::test {

struct BiffSheet {
    std::vector<std::uint16_t> records;  // record numbers in file order
    bool complete = false;               // begins with BOF, ends with EOF, no stray bytes
};

// Throws std::runtime_error on a malformed record (a cell record of the wrong length among them).
BiffSheet ReadBiffSheet(const std::string& path);

}  // namespace velto::test
