#include "tests/export/xlsxcells.h"

#include <zlib.h>

#include <charconv>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace velto::test {

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

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

struct Member {
    std::string name;
    std::uint32_t method = 0;
    std::uint32_t packed = 0;
    std::uint32_t size = 0;
    std::uint32_t local = 0;
};

std::vector<Member> Directory(const std::string& zip) {
    const std::size_t end = zip.rfind(std::string("PK\x05\x06", 4));
    if (end == std::string::npos) {
        throw std::runtime_error("not a zip file: no end of central directory");
    }
    const std::uint32_t count = Little(zip, end + 10, 2);
    std::size_t at = Little(zip, end + 16, 4);
    std::vector<Member> members;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (Little(zip, at, 4) != 0x02014b50) {
            throw std::runtime_error("zip: bad central directory entry");
        }
        Member m;
        m.method = Little(zip, at + 10, 2);
        m.packed = Little(zip, at + 20, 4);
        m.size = Little(zip, at + 24, 4);
        const std::uint32_t nameLength = Little(zip, at + 28, 2);
        m.local = Little(zip, at + 42, 4);
        m.name = zip.substr(at + 46, nameLength);
        at += 46 + nameLength + Little(zip, at + 30, 2) + Little(zip, at + 32, 2);
        members.push_back(m);
    }
    return members;
}

std::string Extract(const std::string& zip, const Member& m) {
    if (Little(zip, m.local, 4) != 0x04034b50) {
        throw std::runtime_error("zip: bad local header of " + m.name);
    }
    const std::size_t data =
        m.local + 30 + Little(zip, m.local + 26, 2) + Little(zip, m.local + 28, 2);
    if (data + m.packed > zip.size()) {
        throw std::runtime_error("zip: " + m.name + " runs past the end of the file");
    }
    if (m.method == 0) {
        return zip.substr(data, m.packed);
    }
    if (m.method != 8) {
        throw std::runtime_error("zip: unknown compression of " + m.name);
    }
    std::string out(m.size, '\0');
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        throw std::runtime_error("zlib: inflateInit2 failed");
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zip.data() + data));
    stream.avail_in = m.packed;
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = m.size;
    const int result = inflate(&stream, Z_FINISH);
    const uLong produced = stream.total_out;
    inflateEnd(&stream);
    if (result != Z_STREAM_END || produced != m.size) {
        throw std::runtime_error("zip: " + m.name + " does not inflate to its size");
    }
    return out;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        const std::size_t semi = text.find(';', i);
        const std::string entity = text.substr(i, semi - i + 1);
        if (entity == "&amp;") {
            out += '&';
        } else if (entity == "&lt;") {
            out += '<';
        } else if (entity == "&gt;") {
            out += '>';
        } else if (entity == "&quot;") {
            out += '"';
        } else if (entity == "&apos;") {
            out += '\'';
        } else {
            throw std::runtime_error("xml: unknown entity " + entity);
        }
        i = semi;
    }
    return out;
}

// The value of attribute `name` in a start tag's text, or "".
std::string Attribute(const std::string& tag, const std::string& name) {
    const std::string key = " " + name + "=\"";
    const std::size_t at = tag.find(key);
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t start = at + key.size();
    return tag.substr(start, tag.find('"', start) - start);
}

// The text of the elements named `element` inside `xml`, joined (a rich text has several).
std::string TextOf(const std::string& xml, const std::string& element) {
    std::string text;
    std::size_t at = 0;
    while ((at = xml.find("<" + element, at)) != std::string::npos) {
        const std::size_t open = xml.find('>', at);
        const char after = xml[at + element.size() + 1];
        if (after != '>' && after != ' ') {
            at = open;
            continue;
        }
        const std::size_t close = xml.find("</" + element + ">", open);
        text += xml.substr(open + 1, close - open - 1);
        at = close;
    }
    return Unescape(text);
}

void ParseReference(const std::string& ref, int& row, int& col) {
    std::size_t i = 0;
    col = 0;
    while (i < ref.size() && ref[i] >= 'A' && ref[i] <= 'Z') {
        col = col * 26 + (ref[i] - 'A' + 1);
        ++i;
    }
    row = 0;
    std::from_chars(ref.data() + i, ref.data() + ref.size(), row);
    if (i == 0 || row == 0) {
        throw std::runtime_error("xml: bad cell reference " + ref);
    }
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
    const std::string zip = ReadAll(path);
    XlsxSheet sheet;
    std::string xml;
    for (const Member& m : Directory(zip)) {
        if (m.name == "xl/worksheets/sheet1.xml") {
            xml = Extract(zip, m);
        }
    }
    if (xml.empty()) {
        throw std::runtime_error(path + " holds no first worksheet");
    }
    const std::size_t dimension = xml.find("<dimension ");
    if (dimension != std::string::npos) {
        sheet.dimension =
            Attribute(xml.substr(dimension, xml.find('>', dimension) - dimension), "ref");
    }
    for (std::size_t at = 0; (at = xml.find("<c ", at)) != std::string::npos;) {
        const std::size_t tagEnd = xml.find('>', at);
        const std::string tag = xml.substr(at, tagEnd - at + 1);
        std::string body;
        if (tag.ends_with("/>")) {
            at = tagEnd;
        } else {
            const std::size_t close = xml.find("</c>", tagEnd);
            body = xml.substr(tagEnd + 1, close - tagEnd - 1);
            at = close;
        }
        XlsxCell cell;
        ParseReference(Attribute(tag, "r"), cell.row, cell.col);
        const std::string type = Attribute(tag, "t");
        if (type == "inlineStr") {
            cell.isText = true;
            cell.text = TextOf(body, "t");
        } else if (type.empty() || type == "n") {
            cell.raw = TextOf(body, "v");
            const auto [end, error] =
                std::from_chars(cell.raw.data(), cell.raw.data() + cell.raw.size(), cell.number);
            if (error != std::errc() || end != cell.raw.data() + cell.raw.size()) {
                throw std::runtime_error("xml: cell " + Attribute(tag, "r") +
                                         " holds no number: " + cell.raw);
            }
        } else {
            // Shared strings among them: the export streams its rows with inline strings.
            throw std::runtime_error("xml: cell type " + type);
        }
        sheet.cells.push_back(cell);
    }
    return sheet;
}

}  // namespace velto::test
