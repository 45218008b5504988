#pragma once

// Reads back the records of a BIFF2 worksheet, for checking that the export wrote a whole one.

#include <string>

namespace velto::test {

struct BiffSheet {
    bool complete = false;  // begins with BOF, ends with EOF, no stray bytes
};

// Throws std::runtime_error on a malformed record (a cell record of the wrong length among them).
BiffSheet ReadBiffSheet(const std::string& path);

}  // namespace velto::test
