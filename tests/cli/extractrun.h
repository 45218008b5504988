#pragma once

// Runs velto-extract as a user would, capturing what it prints and its exit status.

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tests/support/testsupport.h"

namespace velto {

struct CommandRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs velto-extract with the arguments (already quoted for the shell), standard input closed;
// `environment` is put before the program ("LD_DEBUG=libs").
inline CommandRun Extract(const test::ScratchDir& dir, const std::string& args,
                          const std::string& environment = "") {
    std::string out = dir.File("stdout.txt");
    std::string err = dir.File("stderr.txt");
    std::string command = environment + " '" + VELTO_EXTRACT_BIN + "' " + args + " > '" + out +
                          "' 2> '" + err + "' < /dev/null";
    int raw = std::system(command.c_str());
    CommandRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = test::ReadBytes(out);
    run.err = test::ReadBytes(err);
    return run;
}

}  // namespace velto
