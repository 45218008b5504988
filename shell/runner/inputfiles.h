#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <string_view>
#include <vector>

class QFile;

namespace velto {

// The file system knows an input file by the bytes of its path, which need not be UTF-8. Rows
// keep those bytes for running the file and a decoded text beside them for showing it.

// The bytes of a path that was typed or chosen as text.
std::string PathBytes(const QString& path);
// The text shown for a path's bytes; bytes that are not UTF-8 show as replacement characters.
QString PathText(std::string_view bytes);
// The path's bytes made safe to print on a terminal or show in a message: control characters,
// bytes that are not UTF-8 and the backslash escaped ("new\nline.in", "caf\xe9.in").
QString PrintablePath(std::string_view bytes);

// The path made absolute against the current folder, without "." and ".." parts. Symbolic links
// are left as they are: the solver runs in the folder the user named.
std::string AbsolutePath(std::string_view bytes);

// Why a file's name cannot be handed to the solver, or empty when it can: a CR or LF in it would
// end the name typed to the solver, and the rest would answer its next prompts; and the solver,
// handed the base name (BaseNameOf), reads BASE.in, so a file whose name is not exactly that
// (`beam.txt`, `beam.IN`, `beam`: the solver would read beam.in), or whose base name begins or
// ends with a blank or a tab (the solver reads the name without them: `trail .in` would run
// trail.in), would have another file run in its place.
QString NameProblem(std::string_view bytes);

// Why an input file cannot be run, or empty when it can: a name with a line end, a file that is
// not there, one that is not a regular file (a folder, a pipe, a device: a pipe would hold the
// reader until someone writes to it), or one that is not the file the solver reads (see
// NameProblem). Looks at the file without opening it.
QString InputFileProblem(std::string_view bytes);

// The one rule for what may be listed in a batch, used by the window, velto-batch and --slurm.
// A file that cannot be run (InputFileProblem) is refused. So is a file that is already listed,
// or given twice: the same file under another name (`./d.in`, a symbolic or a hard link), which
// would run twice into the same results.
struct CheckedInputs {
    std::vector<std::string> accepted;  // absolute paths, in the order given
    QStringList refused;                // one line per file that cannot be run
    QStringList duplicates;             // one line per file listed already
};
CheckedInputs CheckInputFiles(const std::vector<std::string>& candidates,
                              const std::vector<std::string>& listed = {});

// Takes the run's hold on an input file: an exclusive advisory lock (flock) on a descriptor of
// its own, close-on-exec, for the caller to hand to the solver it starts, so that the hold lasts
// as long as that solver and whatever it leaves running with the descriptor, even when the
// program that started it is killed. Returns the descriptor, or -1 with the reason in `problem`
// when the file is being run already or cannot be opened. On a file system that keeps no locks
// the file runs unguarded: the descriptor is returned all the same.
int HoldInputFile(const std::string& path, QString& problem);

// Opens a file for reading only if it is a regular file, without waiting: a pipe or a device
// given where a file of ours should be is refused (false) rather than read, as is a file that
// cannot be opened.
bool OpenRegularFile(QFile& file, const std::string& path);

}  // namespace velto
