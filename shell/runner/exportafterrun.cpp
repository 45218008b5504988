#include "shell/runner/exportafterrun.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>

#include "shell/runner/inputfiles.h"
#include "shell/runner/solverrun.h"

namespace velto {

ExportAfterRun ExportOfRun(const std::string& inputPath, const QStringList& options) {
    QString format = QStringLiteral("xlsx");
    for (int i = 0; i < options.size(); ++i) {
        if (options[i] == QLatin1String("--format") && i + 1 < options.size()) {
            format = options[i + 1];
        } else if (options[i].startsWith(QLatin1String("--format="))) {
            format = options[i].mid(9);
        }
    }
    // The solver writes its listing in the input's folder under the input's base name.
    const std::size_t slash = inputPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : inputPath.substr(0, slash + 1);
    const std::string base = folder + BaseNameOf(inputPath);
    ExportAfterRun run;
    run.listing = base + ".out";
    run.target = base + "." + format.toLower().toStdString();
    run.arguments = {"export", run.listing, "-o", run.target};
    for (const QString& option : options) {
        run.arguments.push_back(option.toLocal8Bit().toStdString());
    }
    return run;
}

bool ParseExportOptions(const QString& text, QStringList& options, QString& problem) {
    options.clear();
    QString word;
    bool inWord = false;
    QChar quote;
    for (const QChar ch : text) {
        if (!quote.isNull()) {
            if (ch == quote) {
                quote = QChar();
            } else {
                word += ch;
            }
        } else if (ch == u'\'' || ch == u'"') {
            quote = ch;
            inWord = true;
        } else if (ch.isSpace()) {
            if (inWord) {
                options << word;
            }
            word.clear();
            inWord = false;
        } else {
            word += ch;
            inWord = true;
        }
    }
    if (!quote.isNull()) {
        problem = QStringLiteral("the export options have an open quote");
        return false;
    }
    if (inWord) {
        options << word;
    }
    for (const QString& option : options) {
        const QString name = option.section(u'=', 0, 0);
        if (name == QLatin1String("-o") || name == QLatin1String("--output")) {
            problem = QStringLiteral(
                "the export options name no file: each run's export is "
                "written beside its listing");
            return false;
        }
    }
    return true;
}

QString ExportOptionsProblem(const QString& program, const QStringList& options) {
    // A listing that cannot exist: the options are checked before any listing is read, and
    // nothing can be written beside it.
    const QString nowhere = QStringLiteral("/nonexistent/velto-options-check");
    QProcess check;
    check.setStandardInputFile(QProcess::nullDevice());
    check.start(program, QStringList{QStringLiteral("export"), nowhere + QStringLiteral(".out"),
                                     QStringLiteral("-o"), nowhere + QStringLiteral(".xlsx")} +
                             options);
    if (!check.waitForStarted(10000)) {
        return QStringLiteral("%1 cannot be started: %2").arg(program, check.errorString());
    }
    if (!check.waitForFinished(30000)) {
        check.kill();
        check.waitForFinished(1000);
        return QStringLiteral("%1 did not answer").arg(program);
    }
    if (check.exitStatus() != QProcess::NormalExit || check.exitCode() != 2) {
        return QString();
    }
    QString why = QString::fromLocal8Bit(check.readAllStandardError()).section(u'\n', 0, 0);
    why.remove(QRegularExpression(QStringLiteral("^velto-extract: ")));
    return QStringLiteral("the export options are not usable: %1").arg(why);
}

QString FindExtractProgram() {
    // Beside this program, installed or built (the build puts a link to it there), and nowhere
    // else: not a build tree's path baked into shipped code, nor whichever velto-extract the
    // PATH finds first. When it is missing, its place is named where it cannot be started.
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("velto-extract"));
}

}  // namespace velto
