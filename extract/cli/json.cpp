#include "extract/cli/json.h"

#include <charconv>
#include <cstdio>

#include "common/encoding.h"

namespace velto {

void JsonWriter::Separate() {
    if (needComma_) {
        text_ += ',';
    }
    needComma_ = true;
}

void JsonWriter::BeginObject() {
    Separate();
    text_ += '{';
    needComma_ = false;
}

void JsonWriter::EndObject() {
    text_ += '}';
    needComma_ = true;
}

void JsonWriter::BeginArray(std::string_view key) {
    if (!key.empty()) {
        Key(key);
    }
    Separate();
    text_ += '[';
    needComma_ = false;
}

void JsonWriter::EndArray() {
    text_ += ']';
    needComma_ = true;
}

void JsonWriter::Key(std::string_view key) {
    String(key);
    text_ += ':';
    needComma_ = false;
}

void JsonWriter::String(std::string_view value) {
    Separate();
    Quoted(Cp1252ToUtf8(value));
}

void JsonWriter::FileName(std::string_view name) {
    Separate();
    Quoted(FileNameToUtf8(name));
}

void JsonWriter::Quoted(std::string_view utf8) {
    text_ += '"';
    for (char c : utf8) {
        switch (c) {
            case '"':
                text_ += "\\\"";
                break;
            case '\\':
                text_ += "\\\\";
                break;
            case '\n':
                text_ += "\\n";
                break;
            case '\r':
                text_ += "\\r";
                break;
            case '\t':
                text_ += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
                    text_ += escape;
                } else {
                    text_ += c;
                }
        }
    }
    text_ += '"';
}

void JsonWriter::Number(long long value) {
    Separate();
    text_ += std::to_string(value);
}

void JsonWriter::Number(Single value) {
    Separate();
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    text_.append(buffer, result.ptr);
}

void JsonWriter::Bool(bool value) {
    Separate();
    text_ += value ? "true" : "false";
}

void JsonWriter::Null() {
    Separate();
    text_ += "null";
}

}  // namespace velto
