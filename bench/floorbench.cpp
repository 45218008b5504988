// The least work an export of every node's displacement at every time can do: each value parsed
// once and printed once. Maps the listing, and for every displacement table parses the chosen
// DOF's word of each node line with from_chars into a single and prints it (shortest, as the
// sheets print singles) into a reused buffer, on one thread, and nothing else: no checks, no
// file. An export's time against this one's says what the export's other work costs.
// A thermal listing's floor is the same for every node's temperature: each field of five per
// line (five characters of node number, six of temperature) parsed and printed.
//
// Usage: velto-bench-floor LISTING [DOF]   (DOF 1..7, 2 by default; none for a thermal listing)
// Prints the values parsed, the bytes printed and the seconds taken.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "extract/reader/variables.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Word k (from 0) of a line, empty when it has fewer.
std::string_view Word(std::string_view line, int k) {
    std::size_t at = 0;
    for (;;) {
        while (at < line.size() && IsBlank(line[at])) {
            ++at;
        }
        const std::size_t start = at;
        while (at < line.size() && !IsBlank(line[at])) {
            ++at;
        }
        if (start == at || k-- == 0) {
            return line.substr(start, at - start);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: velto-bench-floor LISTING [DOF]\n");
        return 2;
    }
    const int dof = argc == 3 ? std::atoi(argv[2]) : 2;
    if (dof < 1 || dof > 7) {
        std::fprintf(stderr, "velto-bench-floor: DOF is 1 to 7\n");
        return 2;
    }
    const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat file {};
    if (fd < 0 || ::fstat(fd, &file) != 0 || file.st_size == 0) {
        std::perror(argv[1]);
        return 1;
    }
    const auto size = static_cast<std::size_t>(file.st_size);
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapped == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    const std::string_view text(static_cast<const char*>(mapped), size);

    const auto start = std::chrono::steady_clock::now();
    std::string printed(std::size_t{1} << 16, '\0');
    std::size_t used = 0;
    unsigned long long values = 0;
    unsigned long long bytes = 0;
    auto print = [&](float value) {
        if (printed.size() - used < 32) {
            bytes += used;
            used = 0;
        }
        used = static_cast<std::size_t>(
            std::to_chars(printed.data() + used, printed.data() + printed.size(), value).ptr -
            printed.data());
        printed[used++] = '\n';
        ++values;
    };
    const std::string_view heat = velto::kTemperatureHeading;
    for (std::size_t at = text.find(heat); at != std::string_view::npos; at = text.find(heat, at)) {
        at = text.find('\n', at);
        while (at != std::string_view::npos && ++at < text.size()) {
            const std::size_t end = std::min(text.find('\n', at), text.size());
            std::string_view line = text.substr(at, end - at);
            if (line.size() < 11) {
                break;
            }
            for (; line.size() >= 11; line.remove_prefix(std::min<std::size_t>(11, line.size()))) {
                std::string_view field = line.substr(5, 6);
                while (!field.empty() && field.front() == ' ') {
                    field.remove_prefix(1);
                }
                float value = 0;
                std::from_chars(field.data(), field.data() + field.size(), value);
                print(value);
            }
            at = end;
        }
    }
    for (std::size_t at = text.find(velto::kDisplacementHeading); at != std::string_view::npos;
         at = text.find(velto::kDisplacementHeading, at)) {
        at = text.find('\n', at);
        // The node lines follow the heading until a line that does not start with a number.
        while (at != std::string_view::npos && ++at < text.size()) {
            const std::size_t end = std::min(text.find('\n', at), text.size());
            const std::string_view line = text.substr(at, end - at);
            const std::string_view node = Word(line, 0);
            if (node.empty() || node[0] < '0' || node[0] > '9') {
                break;
            }
            const std::string_view word = Word(line, dof);
            float value = 0;
            std::from_chars(word.data(), word.data() + word.size(), value);
            print(value);
            at = end;
        }
    }
    bytes += used;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%llu values, %llu bytes printed, %.3f s\n", values, bytes, seconds);
    ::munmap(mapped, size);
    ::close(fd);
    return 0;
}
