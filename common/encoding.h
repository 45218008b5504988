#pragma once

#include <string>
#include <string_view>

namespace velto {

// Listings and spreadsheets hold single-byte Windows-1252 text (the "²" of N/mm² is the byte
// 0xB2). Terminals and JSON want UTF-8. Bytes that Windows-1252 leaves undefined map to the C1
// control of the same number, so nothing is lost.
std::string Cp1252ToUtf8(std::string_view text);

}  // namespace velto
