// velto stand-in: a small console program that behaves like the fire solver from the outside, for
// tests and demos of the tools. It is NOT the solver: it computes nothing, it only prints progress
// lines and writes a synthetic result listing (the generator's section or frame heated by the
// standard fire).
//
// Built twice: VELTO_STANDIN_VERSION "2004" takes the base name as its only argument; any other
// version prompts for it on standard input (one line; a trailing CR and the blanks and tabs around
// the name are dropped). It then reads <base>.in from the current folder. The end time is the
// second word of the last numeric line inside a TIME ... END_TIME block (0 without one). Lines of
// the form `STANDIN <word> [value]` steer the run (unknown ones are ignored, malformed values with
// a warning):
//   STANDIN KIND thermal|static|dynamic  listing to write (static)
//   STANDIN STEPS n                      time steps (10)
//   STANDIN PROTECTION mm                fire protection on the exposed faces, 0 .. 1000 (0):
//                                        the listing's section and steel heat more slowly
//   STANDIN PACE seconds                 pause after each step, fractions allowed (0.05)
//   STANDIN EXIT code                    final exit code; the listing is still written (0)
//   STANDIN SILENT seconds               print nothing for that long before the first step
//   STANDIN FLOOD megabytes              print that much console text (MiB) before the steps
//   STANDIN CRASH                        raise SIGSEGV after the first step
//   STANDIN MEMORY megabytes             after the first step, take that much memory (MiB), every
//                                        page of it touched, and keep it to the end of the run
//   STANDIN CLOSE-OUTPUT seconds         after the first step, detach stdout and stderr, keep
//                                        running that long, then write the files and exit
//   STANDIN GRANDCHILD seconds           fork a child that holds stdout/stderr open that long
//   STANDIN RECORD                       write <base>.received: argc, arguments and the bytes
//                                        that arrived on standard input (escaped)
// Each step prints "  Step: time = t s (k of n)", so the time is the second word once the
// "time =" is taken out, as the runner reads it; then "  Analysis completed." and <base>.out.
// Exit codes: 2 for a missing name or input file, 3 when a result file cannot be written.
// SIGPIPE keeps its inherited disposition on purpose: a closed console pipe ends the run.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/listinggen.h"

#ifndef VELTO_STANDIN_VERSION
#define VELTO_STANDIN_VERSION "2026"
#endif

#define VELTO_STANDIN_BANNER \
    "PROGRAM VELTO STAND-IN FOR TESTS Ver. " VELTO_STANDIN_VERSION " (not the solver)"

namespace {

static_assert(sizeof(VELTO_STANDIN_VERSION) == 5, "the version must have 4 characters");

// The tools find the version by the first "PROGRAM " in the executable's bytes. The listing
// generator linked in holds "PROGRAM 'VELTO'" in .rodata, so the banner lives in an ELF note: the
// linker places notes right after the program headers, ahead of all code and data. The note is
// well formed (owner "Velto") so readelf and the loader skip it cleanly.
struct BannerNote {
    std::uint32_t nameSize;
    std::uint32_t descSize;
    std::uint32_t type;
    char name[8];
    char desc[(sizeof(VELTO_STANDIN_BANNER) + 3) / 4 * 4];
};

[[gnu::used, gnu::section(".note.velto")]] alignas(4) const BannerNote kBanner = {
    6, sizeof(BannerNote::desc), 1, "Velto", VELTO_STANDIN_BANNER};

constexpr std::string_view kVersion = VELTO_STANDIN_VERSION;
constexpr std::string_view kPrompt = "Please type \"FILENAME\" of \"FILENAME.IN\" :  ";
constexpr int kRecordWaitMs = 300;

struct Options {
    velto::ListingKind kind = velto::ListingKind::Static;
    int steps = 10;
    double protection = 0;  // mm
    double pace = 0.05;
    int exitCode = 0;
    double silent = 0;
    double flood = 0;  // MiB
    bool crash = false;
    double memory = 0;  // MiB
    std::optional<double> closeOutput;
    std::optional<double> grandchild;
    bool record = false;
    double endTime = 0;
};

void Print(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void Sleep(double seconds) {
    if (seconds > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
}

std::string Trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r");
    return std::string(s.substr(first, last - first + 1));
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::size_t pos = 0;
    while (true) {
        pos = line.find_first_not_of(" \t", pos);
        if (pos == std::string::npos) {
            break;
        }
        const auto end = line.find_first_of(" \t", pos);
        words.push_back(line.substr(pos, end == std::string::npos ? end : end - pos));
        pos = end;
    }
    return words;
}

std::optional<double> Number(const std::string& word) {
    if (word.empty()) {
        return std::nullopt;
    }
    // By the C rules whatever the locale, a leading + allowed as before.
    const std::string_view digits =
        word.starts_with('+') ? std::string_view(word).substr(1) : std::string_view(word);
    double v = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (error != std::errc() || end != digits.data() + digits.size() || !std::isfinite(v)) {
        return std::nullopt;
    }
    return v;
}

std::optional<double> NonNegative(const std::string& word) {
    const auto v = Number(word);
    if (!v || *v < 0) {
        return std::nullopt;
    }
    return v;
}

std::optional<int> Integer(const std::string& word, int min, int max) {
    const auto v = Number(word);
    if (!v || *v != std::floor(*v) || *v < min || *v > max) {
        return std::nullopt;
    }
    return static_cast<int>(*v);
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

// Returns false when the directive's value is missing or malformed.
bool ApplyDirective(const std::vector<std::string>& w, Options& o) {
    const std::string& name = w.size() > 1 ? w[1] : std::string();
    const std::string value = w.size() > 2 ? w[2] : std::string();
    if (name == "KIND") {
        const std::string kind = Lower(value);
        if (kind == "thermal") {
            o.kind = velto::ListingKind::Thermal;
        } else if (kind == "static") {
            o.kind = velto::ListingKind::Static;
        } else if (kind == "dynamic") {
            o.kind = velto::ListingKind::Dynamic;
        } else {
            return false;
        }
    } else if (name == "STEPS") {
        const auto v = Integer(value, 1, velto::kMaxTimeBlocks);
        if (!v) {
            return false;
        }
        o.steps = *v;
    } else if (name == "PROTECTION") {
        const auto v = NonNegative(value);
        if (!v || *v > 1000) {
            return false;
        }
        o.protection = *v;
    } else if (name == "PACE" || name == "SILENT" || name == "FLOOD" || name == "CLOSE-OUTPUT" ||
               name == "GRANDCHILD" || name == "MEMORY") {
        const auto v = NonNegative(value);
        if (!v) {
            return false;
        }
        if (name == "PACE") {
            o.pace = *v;
        } else if (name == "SILENT") {
            o.silent = *v;
        } else if (name == "FLOOD") {
            o.flood = *v;
        } else if (name == "CLOSE-OUTPUT") {
            o.closeOutput = *v;
        } else if (name == "MEMORY") {
            o.memory = *v;
        } else {
            o.grandchild = *v;
        }
    } else if (name == "EXIT") {
        const auto v = Integer(value, 0, 255);
        if (!v) {
            return false;
        }
        o.exitCode = *v;
    } else if (name == "CRASH") {
        o.crash = true;
    } else if (name == "RECORD") {
        o.record = true;
    }
    return true;
}

Options ReadInput(std::istream& in) {
    Options o;
    bool inTime = false;
    bool hasEnd = false;  // a numeric line seen in the current block
    double blockEnd = 0;
    for (std::string raw; std::getline(in, raw);) {
        const std::string line = Trim(raw);
        if (line == "TIME") {
            inTime = true;
            hasEnd = false;
            continue;
        }
        if (line == "END_TIME") {
            if (inTime && hasEnd) {
                o.endTime = blockEnd;
            }
            inTime = false;
            continue;
        }
        const auto w = Words(line);
        if (inTime) {
            if (w.size() >= 2) {
                if (const auto v = Number(w[1])) {
                    blockEnd = *v;
                    hasEnd = true;
                }
            }
            continue;
        }
        if (!w.empty() && w[0] == "STANDIN" && !ApplyDirective(w, o)) {
            Print("WARNING: ignoring directive: " + line + "\n");
        }
    }
    return o;
}

std::string Escape(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (b < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", b);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

// Standard input read at the descriptor: stdio would swallow bytes past the answer line, and the
// record must show exactly what arrived.
struct StdinBytes {
    std::string data;
    bool eof = false;

    // Reads one chunk; false at end of input or on error.
    bool ReadSome() {
        char buf[4096];
        while (true) {
            const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n > 0) {
                data.append(buf, static_cast<std::size_t>(n));
                return true;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            eof = true;
            return false;
        }
    }

    void ReadLine() {
        while (data.find('\n') == std::string::npos && ReadSome()) {
        }
    }

    // Whatever else arrives within the wait; stops early at end of input.
    void Drain(int waitMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (!eof) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd p{STDIN_FILENO, POLLIN, 0};
            const int r = poll(&p, 1, static_cast<int>(left.count()));
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (r <= 0 || (p.revents & POLLNVAL) != 0) {
                break;
            }
            ReadSome();
        }
    }

    std::string FirstLine() const {
        std::string line = data.substr(0, data.find('\n'));
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) {
            line.pop_back();
        }
        return line.substr(std::min(line.size(), line.find_first_not_of(" \t")));
    }
};

[[noreturn]] void Fail(int code, const std::string& message) {
    Print(message + "\n");
    std::exit(code);
}

void WriteRecord(const std::string& path, int argc, char** argv, const std::string& input) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "argc=" << argc << "\n";
    for (int i = 1; i < argc; ++i) {
        out << "arg" << i << "=" << Escape(argv[i]) << "\n";
    }
    out << "stdin=" << Escape(input) << "\n";
    out.close();
    if (!out) {
        Fail(3, "ERROR: cannot write " + path);
    }
}

void Flood(double mebibytes) {
    const auto total = static_cast<std::uint64_t>(mebibytes * 1024 * 1024);
    std::string line(99, ' ');
    for (std::size_t i = 2; i < line.size(); ++i) {
        line[i] = static_cast<char>('A' + i % 26);
    }
    line += '\n';
    std::string block;
    for (int i = 0; i < 640; ++i) {
        block += line;
    }
    for (std::uint64_t sent = 0; sent < total;) {
        const std::uint64_t n = std::min<std::uint64_t>(block.size(), total - sent);
        std::fwrite(block.data(), 1, n, stdout);
        sent += n;
    }
    std::fflush(stdout);
}

// A child that only holds the inherited console open, as helper processes of a solver may do.
void StartGrandchild(double seconds) {
    const pid_t pid = fork();
    if (pid == 0) {
        Sleep(seconds);
        _exit(0);
    }
    if (pid < 0) {
        Print("WARNING: cannot start the helper process\n");
    }
}

// The pipe ends as seen by the reader, but the process goes on; /dev/null takes the descriptors
// so that files opened later cannot become fd 1 or 2.
void DetachOutput() {
    std::fflush(stdout);
    std::fflush(stderr);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) {
            close(null);
        }
    } else {
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Unbuffered: the tools read the console through a pipe and show progress live.
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    StdinBytes input;
    std::string base;
    if (kVersion == "2004") {
        Print(std::string(kBanner.desc) + "\n");
        if (argc < 2) {
            Fail(2, "ERROR: missing argument: the name of the input file without .in");
        }
        if (argc > 2) {
            Print("WARNING: ignoring arguments after the first\n");
        }
        base = argv[1];
    } else {
        Print(kPrompt);
        input.ReadLine();
        if (input.data.empty()) {
            Fail(2, "\nERROR: no file name on standard input");
        }
        base = input.FirstLine();
        Print("\n" + std::string(kBanner.desc) + "\n");
    }

    const std::string inPath = base + ".in";
    std::ifstream in(inPath, std::ios::binary);
    if (!in) {
        Fail(2, "ERROR: cannot open " + inPath);
    }
    const Options o = ReadInput(in);
    in.close();

    if (o.record && kVersion != "2004") {
        input.Drain(kRecordWaitMs);
    }
    if (o.grandchild) {
        StartGrandchild(*o.grandchild);
    }
    if (o.flood > 0) {
        Flood(o.flood);
    }
    Sleep(o.silent);

    bool detached = false;
    std::vector<char> held;  // MEMORY: resident to the end, as a solver's model would be
    for (int k = 1; k <= o.steps && !detached; ++k) {
        const double t = o.endTime != 0 ? o.endTime * k / o.steps : k;
        char line[96];
        std::snprintf(line, sizeof line, "  Step: time = %.2f s (%d of %d)\n", t, k, o.steps);
        Print(line);
        if (k == 1 && o.memory > 0) {
            held.assign(static_cast<std::size_t>(o.memory * 1024 * 1024), 1);
        }
        if (k == 1 && o.crash) {
            signal(SIGSEGV, SIG_DFL);
            raise(SIGSEGV);
        }
        if (k == 1 && o.closeOutput) {
            DetachOutput();
            detached = true;
            Sleep(*o.closeOutput);
            break;
        }
        Sleep(o.pace);
    }
    if (!held.empty()) {
        // Read back, so that the memory is not optimised away.
        [[maybe_unused]] volatile char kept = held[held.size() / 2];
    }
    if (!detached) {
        Print("  Analysis completed.\n");
    }

    if (o.record) {
        if (kVersion == "2004") {
            input.Drain(kRecordWaitMs);
        }
        WriteRecord(base + ".received", argc, argv, input.data);
    }

    velto::ListingSpec listing;
    listing.kind = o.kind;
    listing.version = std::string(kVersion) + ".1";
    if (o.kind == velto::ListingKind::Thermal) {
        listing.nodes = 40;  // two rows of twenty through the section's depth
        listing.solids = 19;
    } else {
        listing.nodes = 12;  // one member, twelve stations along it
        listing.beams = 3;
    }
    listing.times = o.steps;
    listing.timeStep = o.endTime != 0 ? o.endTime / o.steps : 1.0;
    listing.protection = o.protection;
    const std::string outPath = base + ".out";
    try {
        velto::WriteListingFile(listing, outPath);
    } catch (const std::exception& e) {
        Fail(3, "ERROR: cannot write " + outPath + ": " + e.what());
    }
    return o.exitCode;
}
