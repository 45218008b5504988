#pragma once

// The readers take a path, so each input is written to one scratch file per fuzzing process,
// rewritten for every input and removed when the process ends.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace velto::fuzz {

class InputFile {
  public:
    InputFile() {
        const char* folder = std::getenv("TMPDIR");
        std::string pattern =
            std::string(folder && *folder ? folder : "/tmp") + "/velto-fuzz-XXXXXX";
        int fd = ::mkstemp(pattern.data());
        if (fd < 0) {
            std::abort();
        }
        ::close(fd);
        path_ = pattern;
    }
    ~InputFile() { ::unlink(path_.c_str()); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Replaces the file's bytes with the input's.
    const std::string& Write(const std::uint8_t* data, std::size_t size) {
        int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0) {
            std::abort();
        }
        while (size > 0) {
            ssize_t written = ::write(fd, data, size);
            if (written <= 0) {
                std::abort();
            }
            data += written;
            size -= static_cast<std::size_t>(written);
        }
        ::close(fd);
        return path_;
    }

  private:
    std::string path_;
};

}  // namespace velto::fuzz
