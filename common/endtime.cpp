#include "common/endtime.h"

#include "common/linereader.h"
#include "common/text.h"

namespace velto {

Single ReadEndTime(const std::string& path) {
    LineReader in(path);
    Single endTime = 0;
    while (!in.AtEnd()) {
        std::string_view line = in.ReadLine();
        if (!Reads(line, "TIME")) {
            continue;
        }
        while (!Reads(line, "END_TIME")) {
            if (in.AtEnd()) {
                break;
            }
            line = in.ReadLine();
            std::string_view word = FindWord(line, 1);
            if (!word.empty() && IsNumeric(word)) {
                endTime = ToSingle(Val(word));
            }
        }
    }
    return endTime;
}

}  // namespace velto
