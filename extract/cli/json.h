#pragma once

#include <string>
#include <string_view>

#include "common/types.h"

namespace velto {

// A small JSON text builder: enough for the command line's one-object answers. Strings are
// taken as Windows-1252 text (as listings hold them) and written as UTF-8.
class JsonWriter {
  public:
    void BeginObject();
    void EndObject();
    void BeginArray(std::string_view key = {});
    void EndArray();
    void Key(std::string_view key);
    void String(std::string_view value);
    // A file name as the file system holds it (UTF-8, or bytes that are not: see FileNameToUtf8).
    void FileName(std::string_view name);
    void Number(long long value);
    // The shortest text that reads back as exactly this Single.
    void Number(Single value);
    void Bool(bool value);
    void Null();

    const std::string& text() const { return text_; }

  private:
    void Separate();
    void Quoted(std::string_view utf8);
    std::string text_;
    bool needComma_ = false;
};

}  // namespace velto
