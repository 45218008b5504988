#include "tests/support/testsupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>

#include "extract/reader/variables.h"

namespace velto::test {

std::vector<int> ProcessesIn(const std::filesystem::path& folder) {
    std::vector<int> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::error_code gone;
        if (std::filesystem::read_symlink(entry.path() / "cwd", gone) == folder && !gone) {
            found.push_back(std::stoi(name));
        }
    }
    return found;
}

char StateOf(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() ? '\0' : text[close + 2];
}

namespace {

class HomePerTest final : public ::testing::EmptyTestEventListener {
  public:
    explicit HomePerTest(std::function<void(const std::string&)> onEachTest)
        : onEachTest_(std::move(onEachTest)) {}

    void OnTestStart(const ::testing::TestInfo&) override {
        folder_ = std::make_unique<ScratchDir>();
        const std::string home = folder_->File("home");
        const std::string config = home + "/.config";
        std::filesystem::create_directories(config);
        saved_.clear();
        for (const auto& [name, value] :
             {std::pair<const char*, std::string>{"HOME", home}, {"XDG_CONFIG_HOME", config}}) {
            const char* was = std::getenv(name);
            saved_.emplace_back(name, was ? std::optional<std::string>(was) : std::nullopt);
            ::setenv(name, value.c_str(), 1);
        }
        if (onEachTest_) {
            onEachTest_(config);
        }
    }

    void OnTestEnd(const ::testing::TestInfo&) override {
        for (const auto& [name, value] : saved_) {
            value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
        }
        if (onEachTest_) {
            const char* config = std::getenv("XDG_CONFIG_HOME");
            const char* home = std::getenv("HOME");
            onEachTest_(config ? config : std::string(home ? home : "") + "/.config");
        }
        folder_.reset();
    }

  private:
    std::function<void(const std::string&)> onEachTest_;
    std::unique_ptr<ScratchDir> folder_;
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

}  // namespace

void GiveEachTestItsOwnHome(std::function<void(const std::string& config)> onEachTest) {
    ::testing::UnitTest::GetInstance()->listeners().Append(new HomePerTest(std::move(onEachTest)));
}

ScratchDir::ScratchDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate =
            std::filesystem::temp_directory_path() /
            ("velto-test-" + std::to_string(::getpid()) + "-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot make a scratch folder");
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

void WriteBytes(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Entries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator(folder, missing)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool AsAnotherUser(const std::function<bool()>& check) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(3);
        }
        ::_exit(check() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

SmallDisk::SmallDisk(const std::string& folder) : folder_(folder) {
    std::filesystem::create_directory(folder);
    if (::geteuid() != 0) {
        problem_ = "only root can mount the small file system a test fills";
    } else if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0) {
        problem_ = std::string("cannot mount a small file system here: ") + std::strerror(errno);
    }
}

SmallDisk::~SmallDisk() {
    if (problem_.empty() && ::umount2(folder_.c_str(), 0) != 0) {
        ADD_FAILURE() << "the small file system is still in use: " << std::strerror(errno);
        ::umount2(folder_.c_str(), MNT_DETACH);
    }
}

bool SmallDisk::Resize(const char* size) const {
    return ::mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT,
                   ("size=" + std::string(size)).c_str()) == 0;
}

bool SmallDisk::Fill(const std::string& filler) {
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno == ENOSPC;
    }
    const std::string block(4096, 'f');
    bool full = false;
    while (!full) {
        const ssize_t wrote = ::write(fd, block.data(), block.size());
        full = wrote < 0 ? errno == ENOSPC : wrote == 0;
        if (wrote < 0 && !full) {
            break;
        }
    }
    ::close(fd);
    return full;
}

std::vector<std::string> Texts(const RecordingMessages& recorded) {
    std::vector<std::string> texts;
    for (const RecordedMessage& m : recorded.messages) {
        texts.push_back(m.text);
    }
    return texts;
}

std::string Lines(const std::vector<std::string>& lines, std::string_view end) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += end;
    }
    return text;
}

std::string CommandOutput(const std::string& command) {
    std::FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (std::size_t got; pipe && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, got);
    }
    return pipe != nullptr && ::pclose(pipe) == 0 ? out : "unreadable: " + out;
}

void TakeTheEnvironmentsLocale() {
    const char* set = std::setlocale(LC_ALL, "");
    const char* wanted = std::getenv("VELTO_TEST_LOCALE");
    if (wanted == nullptr || *wanted == '\0') {
        return;
    }
    const char* numeric = std::setlocale(LC_NUMERIC, nullptr);
    if (set == nullptr || numeric == nullptr || std::strcmp(numeric, wanted) != 0 ||
        std::strcmp(std::localeconv()->decimal_point, ",") != 0) {
        std::fprintf(stderr,
                     "the tests were to run in the locale %s, which could not be set (LOCPATH=%s); "
                     "it is built by the test fixture locales_build\n",
                     wanted, std::getenv("LOCPATH") ? std::getenv("LOCPATH") : "");
        std::exit(2);
    }
}

std::vector<std::size_t> TimesCompleteAt(const std::string& text, const Catalogue& c) {
    auto pastLineEnd = [&](std::size_t from) {
        const std::size_t end = text.find_first_of("\r\n", from);
        return end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    };
    std::vector<std::size_t> complete;
    for (const TimeStep& time : c.Times) {
        auto end = static_cast<std::size_t>(time.Position - 1);
        if (c.AnalysisKind == kKindThermal) {
            end = text.find(kTemperatureHeading, end);
            for (long line = 0; line <= (c.NodeCount + 4) / 5; ++line) {
                end = pastLineEnd(end);
            }
        } else {
            end = pastLineEnd(text.find(kConvergence, end));
        }
        complete.push_back(end);
    }
    return complete;
}

}  // namespace velto::test
