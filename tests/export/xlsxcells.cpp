#include "tests/export/xlsxcells.h"

#include <zlib.h>

#include <charconv>
#include <cstdint>
#include <map>
#include <regex>
#include <stdexcept>

#include "tests/support/testsupport.h"

namespace velto::test {

namespace {

std::uint32_t Little(const std::string& bytes, std::size_t at, int size) {
    if (at + static_cast<std::size_t>(size) > bytes.size()) {
        throw std::runtime_error("zip: a record runs past the end of the file");
    }
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

// A member's bytes (stored or deflated), found by its name in the central directory, where each
// entry is 46 bytes of header and then the name.
std::string Member(const std::string& zip, const std::string& name) {
    const std::size_t end = zip.rfind(std::string("PK\x05\x06", 4));
    if (end == std::string::npos) {
        throw std::runtime_error("not a zip file: no end of central directory");
    }
    const std::size_t at = zip.find(name, Little(zip, end + 16, 4));
    if (at == std::string::npos || at < 46 || Little(zip, at - 46, 4) != 0x02014b50 ||
        Little(zip, at - 18, 2) != name.size()) {
        throw std::runtime_error("zip: no entry " + name);
    }
    const std::uint32_t method = Little(zip, at - 36, 2);
    const std::uint32_t packed = Little(zip, at - 26, 4);
    const std::uint32_t size = Little(zip, at - 22, 4);
    const std::uint32_t local = Little(zip, at - 4, 4);
    if (Little(zip, local, 4) != 0x04034b50) {
        throw std::runtime_error("zip: bad local header of " + name);
    }
    const std::size_t data = local + 30 + Little(zip, local + 26, 2) + Little(zip, local + 28, 2);
    if (data + packed > zip.size()) {
        throw std::runtime_error("zip: " + name + " runs past the end of the file");
    }
    if (method == 0) {
        return zip.substr(data, packed);
    }
    std::string out(size, '\0');
    z_stream stream{};
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zip.data() + data));
    stream.avail_in = packed;
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = size;
    const bool whole = method == 8 && inflateInit2(&stream, -MAX_WBITS) == Z_OK &&
                       inflate(&stream, Z_FINISH) == Z_STREAM_END && stream.total_out == size;
    inflateEnd(&stream);
    if (!whole) {
        throw std::runtime_error("zip: " + name + " does not inflate to its size");
    }
    return out;
}

std::string Unescape(const std::string& text) {
    static const std::map<std::string, char> entities = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    std::string out;
    std::size_t from = 0;
    for (std::size_t at = 0; (at = text.find('&', from)) != std::string::npos;) {
        const std::size_t semi = text.find(';', at);
        const auto entity = entities.find(text.substr(at + 1, semi - at - 1));
        if (semi == std::string::npos || entity == entities.end()) {
            throw std::runtime_error("xml: unknown entity " + text.substr(at, semi - at + 1));
        }
        out += text.substr(from, at - from) + entity->second;
        from = semi + 1;
    }
    return out + text.substr(from);
}

// The texts of the elements `element` inside `xml`, joined (a rich text has several).
std::string TextOf(const std::string& xml, const std::string& element) {
    const std::regex pattern("<" + element + "(?: [^>]*)?>([^<]*)</" + element + ">");
    std::string text;
    for (std::sregex_iterator m(xml.begin(), xml.end(), pattern), end; m != end; ++m) {
        text += (*m)[1].str();
    }
    return Unescape(text);
}

}  // namespace

const XlsxCell* XlsxSheet::At(int row, int col) const {
    for (const XlsxCell& cell : cells) {
        if (cell.row == row && cell.col == col) {
            return &cell;
        }
    }
    return nullptr;
}

XlsxSheet ReadXlsxSheet(const std::string& path) {
    const std::string xml = Member(ReadBytes(path), "xl/worksheets/sheet1.xml");
    XlsxSheet sheet;
    std::smatch dimension;
    if (std::regex_search(xml, dimension, std::regex("<dimension ref=\"([^\"]*)\""))) {
        sheet.dimension = dimension[1];
    }
    // A cell: its attributes, and its body unless it is empty.
    const std::regex pattern("<c( [^>]*?)(?:/>|>([\\s\\S]*?)</c>)");
    const std::regex reference(" r=\"([A-Z]+)([0-9]+)\"");
    for (std::sregex_iterator m(xml.begin(), xml.end(), pattern), end; m != end; ++m) {
        const std::string attributes = (*m)[1], body = (*m)[2];
        std::smatch at;
        if (!std::regex_search(attributes, at, reference)) {
            throw std::runtime_error("xml: a cell without a reference: " + attributes);
        }
        XlsxCell cell;
        for (const char letter : at[1].str()) {
            cell.col = cell.col * 26 + (letter - 'A' + 1);
        }
        cell.row = std::stoi(at[2]);
        std::smatch type;
        std::regex_search(attributes, type, std::regex(" t=\"([^\"]*)\""));
        if (type[1] == "inlineStr") {
            cell.isText = true;
            cell.text = TextOf(body, "t");
        } else if (type[1] == "" || type[1] == "n") {
            cell.raw = TextOf(body, "v");
            const auto [last, error] =
                std::from_chars(cell.raw.data(), cell.raw.data() + cell.raw.size(), cell.number);
            if (error != std::errc() || last != cell.raw.data() + cell.raw.size()) {
                throw std::runtime_error("xml: cell " + at[0].str() +
                                         " holds no number: " + cell.raw);
            }
        } else {
            // Shared strings among them: the export streams its rows with inline strings.
            throw std::runtime_error("xml: cell type " + type[1].str());
        }
        sheet.cells.push_back(cell);
    }
    return sheet;
}

}  // namespace velto::test
