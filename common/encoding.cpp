#include "common/encoding.h"

#include <array>
#include <cstdint>

namespace velto {

namespace {

// Unicode code points of the bytes 0x80..0x9F in Windows-1252 (undefined ones kept as C1).
constexpr std::array<char32_t, 32> kHighTable = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void AppendEscape(std::string& out, unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    switch (byte) {
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default:
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
    }
}

// Length of the well-formed UTF-8 sequence at the start of `text` (overlong forms, surrogates and
// code points beyond U+10FFFF are not), 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (next & 0x3F);
    }
    const bool overlong = (length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000);
    if (overlong || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
        return 0;
    }
    return length;
}

// The code point of the well-formed UTF-8 sequence of `length` bytes at the start of `text`.
char32_t DecodeUtf8(std::string_view text, std::size_t length) {
    static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t cp = static_cast<unsigned char>(text[0]) & kLeadMask[length];
    for (std::size_t i = 1; i < length; ++i) {
        cp = (cp << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    }
    return cp;
}

// Calls onCharacter(code point, bytes) for each well-formed UTF-8 character of `text` (ASCII
// included) and onByte(byte) for each byte that is not part of one.
template <typename OnCharacter, typename OnByte>
void WalkUtf8(std::string_view text, OnCharacter onCharacter, OnByte onByte) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = byte < 0x80 ? 1 : Utf8SequenceLength(text.substr(i));
        if (length == 0) {
            onByte(byte);
            ++i;
            continue;
        }
        onCharacter(DecodeUtf8(text.substr(i), length), text.substr(i, length));
        i += length;
    }
}

}  // namespace

std::string FileNameToUtf8(std::string_view name) {
    std::string out;
    WalkUtf8(
        name, [&](char32_t, std::string_view bytes) { out.append(bytes); },
        [&](unsigned char byte) {
            const char single = static_cast<char>(byte);
            out += Cp1252ToUtf8(std::string_view(&single, 1));
        });
    return out;
}

namespace {

// The Windows-1252 byte of a code point, if it has one.
std::optional<char> Cp1252Byte(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
        return static_cast<char>(cp);
    }
    for (std::size_t i = 0; i < kHighTable.size(); ++i) {
        if (kHighTable[i] == cp) {
            return static_cast<char>(0x80 + i);
        }
    }
    return std::nullopt;
}

}  // namespace

std::string FileNameToCp1252(std::string_view name) {
    std::string out;
    WalkUtf8(
        name, [&](char32_t cp, std::string_view) { out += Cp1252Byte(cp).value_or('?'); },
        [&](unsigned char byte) { out += static_cast<char>(byte); });
    return out;
}

std::optional<std::string> TextToCp1252(std::string_view text) {
    std::string out;
    bool whole = true;
    WalkUtf8(
        text,
        [&](char32_t cp, std::string_view) {
            const std::optional<char> byte = Cp1252Byte(cp);
            whole = whole && byte.has_value();
            out += byte.value_or('?');
        },
        [&](unsigned char byte) { out += static_cast<char>(byte); });
    if (!whole) {
        return std::nullopt;
    }
    return out;
}

namespace {

std::string Escaped(std::string_view bytes, bool keepLineEnds, bool doubleBackslashes) {
    std::string out;
    out.reserve(bytes.size());
    WalkUtf8(
        bytes,
        [&](char32_t cp, std::string_view character) {
            // U+0080..U+009F are the C1 controls: U+009B is a CSI to many terminals.
            const bool lineEnd = keepLineEnds && cp == '\n';
            if (!lineEnd && (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0))) {
                for (char byte : character) {
                    AppendEscape(out, static_cast<unsigned char>(byte));
                }
                return;
            }
            if (cp == '\\' && doubleBackslashes) {
                out += '\\';
            }
            out.append(character);
        },
        [&](unsigned char byte) { AppendEscape(out, byte); });
    return out;
}

}  // namespace

std::string TerminalSafe(std::string_view bytes, bool keepLineEnds) {
    return Escaped(bytes, keepLineEnds, true);
}

std::string ControlsEscaped(std::string_view text) {
    return Escaped(text, false, false);
}

std::string ConsoleToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool layout = c == '\t' || c == '\n' || c == '\r';
        const bool undefined = byte >= 0x80 && byte < 0xA0 && kHighTable[byte - 0x80] < 0xA0;
        if ((byte < 0x20 && !layout) || byte == 0x7F || undefined) {
            AppendEscape(out, byte);
        } else {
            out += Cp1252ToUtf8(std::string_view(&c, 1));
        }
    }
    return out;
}

std::string Cp1252ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
        } else if (byte < 0xA0) {
            AppendUtf8(out, kHighTable[byte - 0x80]);
        } else {
            AppendUtf8(out, byte);
        }
    }
    return out;
}

}  // namespace velto
