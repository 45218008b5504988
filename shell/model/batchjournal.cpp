#include "shell/model/batchjournal.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "shell/model/batchmodel.h"
#include "shell/model/recordwriter.h"
#include "shell/runner/inputfiles.h"
#include "shell/runner/settings.h"

namespace velto {

BatchJournal::BatchJournal(BatchModel& batch, QString path, QObject* parent)
    : QObject(parent),
      batch_(batch),
      path_(std::move(path)),
      writer_(std::make_unique<RecordWriter>(QFile::encodeName(path_).toStdString())) {
    pending_ = new QTimer(this);
    pending_->setSingleShot(true);
    pending_->setInterval(2000);
    connect(pending_, &QTimer::timeout, this, &BatchJournal::SaveBehind);
    connect(&batch_, &BatchModel::rowsChanged, this, &BatchJournal::Save);
    // Between two runs the record changes twice, and neither keeps the next solver waiting but
    // an end that is not a completion. A start lost in a crash leaves the file Queued, to run
    // again; a completion lost leaves it Running, and resuming takes it as Completed when its
    // listing holds the whole analysis. A failed run left Running would be taken so too: its end
    // is on the disk before the next file starts.
    connect(&batch_, &BatchModel::fileStarted, this, &BatchJournal::SaveBehind);
    connect(&batch_, &BatchModel::fileFinished, this, [this](int, const QString& status) {
        if (status == QLatin1String("Completed")) {
            SaveBehind();
        } else {
            Save();
        }
    });
    connect(&batch_, &BatchModel::batchFinished, this, &BatchJournal::Save);
    connect(&batch_, &BatchModel::batchRefused, this, &BatchJournal::Save);
    // A row that only waits keeps its earlier status on disk; the output comes in floods.
    connect(&batch_, &BatchModel::statusChanged, this, &BatchJournal::SaveSoon);
    connect(&batch_, &BatchModel::outputChunk, this, &BatchJournal::SaveSoon);
}

// The writer, destroyed after this, writes whatever it still holds before it ends.
BatchJournal::~BatchJournal() {
    if (pending_->isActive()) {
        SaveBehind();
    }
}

void BatchJournal::SaveSoon() {
    if (!pending_->isActive()) {
        pending_->start();
    }
}

namespace {

// How much of each row's console text is kept: all of a text within its share of the budget,
// and an even share of what the shorter texts leave for each longer one.
std::vector<qsizetype> KeptLogSizes(const std::vector<QByteArray>& logs) {
    std::vector<qsizetype> sizes(logs.size(), 0);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        sizes[i] = std::min(logs[i].size(), BatchJournal::kMaxLogBytes);
    }
    std::vector<std::size_t> shortestFirst(sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        shortestFirst[i] = i;
    }
    std::stable_sort(shortestFirst.begin(), shortestFirst.end(),
                     [&](std::size_t a, std::size_t b) { return sizes[a] < sizes[b]; });
    qsizetype left = BatchJournal::kLogBudget;
    std::size_t rowsLeft = sizes.size();
    for (std::size_t i : shortestFirst) {
        const qsizetype share = left / static_cast<qsizetype>(rowsLeft--);
        sizes[i] = std::min(sizes[i], share);
        left -= sizes[i];
    }
    return sizes;
}

}  // namespace

bool BatchJournal::Save() {
    pending_->stop();
    std::optional<std::string> text = Text();
    return text && writer_->PutAndWait(std::move(*text));
}

void BatchJournal::SaveBehind() {
    pending_->stop();
    if (std::optional<std::string> text = Text()) {
        writer_->Put(std::move(*text));
    }
}

std::optional<std::string> BatchJournal::Text() const {
    try {
        QJsonArray rows;
        // The console as the window shows it: a batch run without its console text kept (a
        // terminal's) keeps its last lines and each row's reason all the same.
        std::vector<QByteArray> logs;
        for (int i = 0; i < batch_.rowCount(); ++i) {
            logs.push_back(batch_.KeptConsole(i));
        }
        const std::vector<qsizetype> kept = KeptLogSizes(logs);
        for (std::size_t i = 0; i < batch_.rows().size(); ++i) {
            const BatchModel::Row& row = batch_.rows()[i];
            const QByteArray log = logs[i].right(kept[i]);
            QJsonObject object{{QStringLiteral("path"), row.path},
                               {QStringLiteral("status"), batch_.KeptStatus(static_cast<int>(i))},
                               {QStringLiteral("log"), QString::fromLatin1(log)}};
            // Kept apart from the console text, which a long console may crowd out of the record.
            if (!row.reason.isEmpty()) {
                object.insert(QStringLiteral("reason"), QString::fromLatin1(row.reason));
            }
            // A name that is not UTF-8 does not survive the text: its bytes go beside it.
            if (PathBytes(row.path) != row.nativePath) {
                object.insert(
                    QStringLiteral("pathBytes"),
                    QString::fromLatin1(QByteArray::fromStdString(row.nativePath).toBase64()));
            }
            rows.append(object);
        }
        QJsonObject journal{{QStringLiteral("rows"), rows}};
        // The export after each run goes with the batch, so that a resumed batch exports too.
        if (!batch_.exportOptions().isEmpty()) {
            journal.insert(QStringLiteral("export"),
                           QJsonArray::fromStringList(batch_.exportOptions()));
        }
        // When it started: a listing written since may tell of a solver that completed after
        // the batch ended.
        if (batch_.startedAt().isValid()) {
            journal.insert(QStringLiteral("started"),
                           batch_.startedAt().toString(Qt::ISODateWithMs));
        }
        if (!batch_.clusterJobId().isEmpty()) {
            journal.insert(QStringLiteral("job"), batch_.clusterJobId());
        }
        const QByteArray text = QJsonDocument(journal).toJson();
        if (text.size() > kMaxJournalBytes) {
            return std::nullopt;  // rows beyond count: a journal that could not be read back
        }
        return text.toStdString();
    } catch (const std::exception&) {
        return std::nullopt;  // memory ran out: the journal on disk stays as last written
    }
}

namespace {

bool StringOrAbsent(const QJsonValue& value) {
    return value.isString() || value.isUndefined();
}

// The start a journal keeps; invalid when it keeps none.
QDateTime StartedAt(const QJsonObject& journal) {
    return QDateTime::fromString(journal.value(QStringLiteral("started")).toString(),
                                 Qt::ISODateWithMs);
}

// Whether every value has the type a journal of ours gives it. One that does not was damaged or
// written by something else: it is kept aside whole rather than read in part.
bool WellFormed(const QJsonObject& journal) {
    const QJsonValue rows = journal.value(QStringLiteral("rows"));
    const QJsonValue exportOptions = journal.value(QStringLiteral("export"));
    const QJsonValue started = journal.value(QStringLiteral("started"));
    if (!(rows.isArray() || rows.isUndefined()) ||
        !(exportOptions.isArray() || exportOptions.isUndefined()) || !StringOrAbsent(started) ||
        !StringOrAbsent(journal.value(QStringLiteral("job"))) ||
        (started.isString() && !StartedAt(journal).isValid())) {
        return false;
    }
    for (const QJsonValue& option : exportOptions.toArray()) {
        if (!option.isString()) {
            return false;
        }
    }
    for (const QJsonValue& value : rows.toArray()) {
        const QJsonObject row = value.toObject();
        const QJsonValue path = row.value(QStringLiteral("path"));
        if (!value.isObject() || !path.isString() || path.toString().isEmpty() ||
            !StringOrAbsent(row.value(QStringLiteral("status"))) ||
            !StringOrAbsent(row.value(QStringLiteral("log"))) ||
            !StringOrAbsent(row.value(QStringLiteral("reason"))) ||
            !StringOrAbsent(row.value(QStringLiteral("pathBytes")))) {
            return false;
        }
    }
    return true;
}

}  // namespace

BatchJournal::Loaded BatchJournal::Load(const QString& path, BatchModel& batch,
                                        QStringList* refused) {
    if (!QFileInfo(path).exists() && !QFileInfo(path).isSymLink()) {
        return Loaded::kMissing;
    }
    QFile file;
    if (!OpenRegularFile(file, PathBytes(path))) {
        return Loaded::kUnreadable;
    }
    // Larger than any journal of ours: not read, so that memory stays small whatever the file
    // (nor one that grows while it is read).
    if (file.size() > kMaxJournalBytes) {
        return Loaded::kUnreadable;
    }
    QJsonDocument document;
    try {
        const QByteArray text = file.read(kMaxJournalBytes + 1);
        if (text.size() > kMaxJournalBytes) {
            return Loaded::kUnreadable;
        }
        document = QJsonDocument::fromJson(text);
    } catch (const std::exception&) {
        return Loaded::kUnreadable;  // more than memory holds
    }
    const QJsonObject journal = document.object();
    if (!document.isObject() || !WellFormed(journal)) {
        return Loaded::kUnreadable;
    }
    for (const QJsonValue& value : journal.value(QStringLiteral("rows")).toArray()) {
        const QJsonObject row = value.toObject();
        const QString rowPath = row.value(QStringLiteral("path")).toString();
        std::string nativePath = PathBytes(rowPath);
        const QJsonValue bytes = row.value(QStringLiteral("pathBytes"));
        if (bytes.isString()) {
            const QByteArray decoded = QByteArray::fromBase64(bytes.toString().toLatin1());
            if (!decoded.isEmpty()) {
                nativePath = decoded.toStdString();
            }
        }
        QString problem = NameProblem(nativePath);
        if (problem.isEmpty() && nativePath.front() != '/') {
            // Its folder is not known: it would run from whatever folder is current.
            problem = QStringLiteral("%1: not a full path, so its folder is not known")
                          .arg(PrintablePath(nativePath));
        }
        if (!problem.isEmpty()) {
            if (refused) {
                refused->append(problem);
            }
            continue;
        }
        QString status = row.value(QStringLiteral("status")).toString();
        if (status == kStatusRunning) {
            status = kStatusInterrupted;
        }
        // Records of earlier versions have no reason: their rows read without one.
        batch.RestoreRow(rowPath, nativePath, status,
                         row.value(QStringLiteral("log")).toString().toLatin1(),
                         row.value(QStringLiteral("reason")).toString().toLatin1());
    }
    QStringList exportOptions;
    for (const QJsonValue& option : journal.value(QStringLiteral("export")).toArray()) {
        exportOptions.append(option.toString());
    }
    batch.setExportAfterRun(QString(), exportOptions);
    batch.RestoreStartedAt(StartedAt(journal));
    batch.setClusterJobId(journal.value(QStringLiteral("job")).toString());
    return Loaded::kYes;
}

QString BatchJournal::SetAside(const QString& path) {
    // Never over another kept journal: each keeps a name of its own.
    for (int n = 1; n < 1000; ++n) {
        const QString aside = path + QStringLiteral(".unreadable") +
                              (n == 1 ? QString() : QStringLiteral("-%1").arg(n));
        if (QFileInfo(aside).exists() || QFileInfo(aside).isSymLink()) {
            continue;
        }
        // The system's rename only: a fallback that copies would read a pipe given as a journal.
        return std::rename(QFile::encodeName(path).constData(),
                           QFile::encodeName(aside).constData()) == 0
                   ? aside
                   : QString();
    }
    return QString();
}

QString BatchJournal::DefaultPath(const QString& fileName) {
    return BesideSettings(fileName);
}

}  // namespace velto
