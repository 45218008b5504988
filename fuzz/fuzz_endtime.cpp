// Reads the input as a solver input file's end time. Only the documented run-time errors may
// come out, and the end time is a finite Single.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/endtime.h"
#include "common/error.h"
#include "fuzz/inputfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static velto::fuzz::InputFile file;
    const std::string& path = file.Write(data, size);
    try {
        if (!std::isfinite(velto::ReadEndTime(path))) {
            std::abort();
        }
    } catch (const velto::RuntimeError& error) {
        // A number beyond a Single is the overflow error; the file itself always opens.
        if (error.number() != velto::kOverflow) {
            std::abort();
        }
    }
    return 0;
}
