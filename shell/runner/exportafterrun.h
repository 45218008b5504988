#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

namespace velto {

// The export that follows a completed run when the user asks for one: velto-extract exports
// from the run's listing, NAME.out beside its input file, into NAME.xlsx beside it (or NAME.csv,
// NAME.xls for the format the options choose), with the user's export options.
struct ExportAfterRun {
    std::string listing;                 // the listing's path bytes
    std::string target;                  // the spreadsheet's path bytes
    std::vector<std::string> arguments;  // for velto-extract, as bytes
};
ExportAfterRun ExportOfRun(const std::string& inputPath, const QStringList& options);

// Splits the options as a shell would ("--variable 'Beam Stresses' --from 12"). False, with the
// reason, for a text with an open quote, or one that names the file to write: each run's export
// has its own.
bool ParseExportOptions(const QString& text, QStringList& options, QString& problem);

// Why velto-extract would refuse these options whatever the listing (a usage error, in its own
// words), or why it cannot be started; empty when they are fit to use. Asked before a batch
// starts, so that a mistyped option is not met after every run.
QString ExportOptionsProblem(const QString& program, const QStringList& options);

// velto-extract: beside this program, where it is installed with it and where the build links
// it; that path even when it is missing there.
QString FindExtractProgram();

}  // namespace velto
