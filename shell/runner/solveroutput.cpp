#include "shell/runner/solveroutput.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "common/error.h"
#include "common/text.h"

namespace velto {

std::string NameAnswer(std::string_view baseName) {
    std::string answer = std::string(baseName) + "\r\n";
    if (answer.size() < 20) {
        answer.resize(20, ' ');
    }
    return answer;
}

SolverChunk ProcessChunk(std::string_view chunk) {
    SolverChunk result;
    result.text = std::string(chunk);
    if (Contains(result.text, kSolverPrompt)) {
        result.text = ReplaceAll(result.text, std::string(kSolverPrompt) + "  ", "");
    }
    std::string lower = result.text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (Contains(lower, "time =")) {
        // The test ignores case, the removal does not: "TIME =" stays a word of its own.
        const std::string rest = ReplaceAll(result.text, "time =", "");
        const std::string_view word = FindWord(rest, 1);
        if (!word.empty() && IsNumeric(word)) {
            result.time = ToSingle(Val(word));
        }
    }
    return result;
}

std::optional<Single> ProgressFraction(Single time, Single endTime) {
    if (endTime == 0) {
        return std::nullopt;
    }
    const Single fraction = time / endTime;
    if (std::isinf(fraction) || std::isnan(fraction)) {
        Raise(kOverflow);
    }
    return fraction;
}

}  // namespace velto
