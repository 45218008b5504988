// Feeds the input to the console handling as the pipe delivers it: the first byte chooses the
// chunk size (1 to 256 bytes), the next four are the end time's bits, the rest is the solver's
// output. Also answers the prompt with a prefix of the output as the base name.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "shell/runner/solveroutput.h"

namespace {

using namespace velto;

void CheckAnswer(std::string_view baseName) {
    const std::string answer = NameAnswer(baseName);
    // The name whole, its CR LF, then blanks up to 20 bytes.
    const std::size_t expected = baseName.size() + 2 < 20 ? 20 : baseName.size() + 2;
    if (answer.size() != expected || answer.compare(0, baseName.size(), baseName) != 0 ||
        answer.compare(baseName.size(), 2, "\r\n") != 0 ||
        answer.find_first_not_of(' ', baseName.size() + 2) != std::string::npos) {
        std::abort();
    }
}

void HandleChunk(std::string_view chunk, Single endTime) {
    SolverChunk handled;
    try {
        handled = ProcessChunk(chunk);
    } catch (const RuntimeError& error) {
        if (error.number() != kOverflow) {
            std::abort();
        }
        return;
    }
    // Only text is taken out, never added.
    if (handled.text.size() > chunk.size()) {
        std::abort();
    }
    if (!handled.time) {
        return;
    }
    if (!std::isfinite(*handled.time)) {
        std::abort();
    }
    try {
        std::optional<Single> fraction = ProgressFraction(*handled.time, endTime);
        if (fraction && !std::isfinite(*fraction)) {
            std::abort();
        }
        if (!fraction && endTime != 0) {
            std::abort();
        }
    } catch (const RuntimeError& error) {
        if (error.number() != kOverflow) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) {
        return 0;
    }
    const std::size_t chunkSize = static_cast<std::size_t>(data[0]) + 1;
    Single endTime;
    std::memcpy(&endTime, data + 1, sizeof endTime);
    const std::string_view output(reinterpret_cast<const char*>(data + 5), size - 5);

    for (std::size_t at = 0; at < output.size(); at += chunkSize) {
        HandleChunk(output.substr(at, chunkSize), endTime);
    }
    CheckAnswer(output.substr(0, chunkSize));
    return 0;
}
