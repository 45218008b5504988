#include "tests/support/biffcells.h"

#include <cstdint>
#include <stdexcept>

#include "tests/support/testsupport.h"

namespace velto::test {

BiffSheet ReadBiffSheet(const std::string& path) {
    const std::string bytes = ReadBytes(path);
    auto u8 = [&](std::size_t at) { return static_cast<unsigned char>(bytes.at(at)); };
    auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>(u8(at) | u8(at + 1) << 8); };
    std::size_t at = 0;
    std::uint16_t first = 0, last = 0;
    while (at < bytes.size()) {
        if (at + 4 > bytes.size()) {
            throw std::runtime_error("truncated record header");
        }
        std::uint16_t number = u16(at);
        std::size_t length = u16(at + 2);
        std::size_t data = at + 4;
        if (data + length > bytes.size()) {
            throw std::runtime_error("truncated record data");
        }
        first = at == 0 ? number : first;
        last = number;
        if (number == 0x0004 && length != 8u + u8(data + 7)) {
            throw std::runtime_error("text cell length mismatch");
        }
        if (number == 0x0003 && length != 15) {
            throw std::runtime_error("number cell length mismatch");
        }
        at = data + length;
    }
    return {first == 0x0009 && last == 0x000A};
}

}  // namespace velto::test
