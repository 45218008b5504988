#include "shell/runner/batchjournal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSettings>
#include <QTimer>
#include <cstdio>

#include "shell/runner/batch.h"
#include "shell/runner/inputfiles.h"
#include "shell/runner/settings.h"

namespace velto {

BatchJournal::BatchJournal(Batch& batch, QString path, QObject* parent)
    : QObject(parent), batch_(batch), path_(std::move(path)) {
    pending_ = new QTimer(this);
    pending_->setSingleShot(true);
    pending_->setInterval(2000);
    connect(pending_, &QTimer::timeout, this, &BatchJournal::Save);
    connect(&batch_, &Batch::rowsChanged, this, &BatchJournal::Save);
    connect(&batch_, &Batch::fileStarted, this, &BatchJournal::Save);
    connect(&batch_, &Batch::fileFinished, this, &BatchJournal::Save);
    connect(&batch_, &Batch::batchFinished, this, &BatchJournal::Save);
    connect(&batch_, &Batch::outputChunk, this, &BatchJournal::SaveSoon);
}

BatchJournal::~BatchJournal() {
    if (pending_->isActive()) {
        Save();
    }
}

void BatchJournal::SaveSoon() {
    if (!pending_->isActive()) {
        pending_->start();
    }
}

bool BatchJournal::Save() {
    pending_->stop();
    try {
        QJsonArray rows;
        for (std::size_t i = 0; i < batch_.rows.size(); ++i) {
            const Batch::Row& row = batch_.rows[i];
            QByteArray log = i < static_cast<std::size_t>(batch_.RunLogs.size())
                                 ? batch_.RunLogs[static_cast<qsizetype>(i)]
                                 : QByteArray();
            if (log.size() > kMaxLogBytes) {
                log = log.right(kMaxLogBytes);
            }
            QJsonObject object{{QStringLiteral("path"), row.path},
                               {QStringLiteral("status"), row.status},
                               {QStringLiteral("log"), QString::fromLatin1(log)}};
            // A name that is not UTF-8 does not survive the text: its bytes go beside it.
            if (PathBytes(row.path) != row.nativePath) {
                object.insert(
                    QStringLiteral("pathBytes"),
                    QString::fromLatin1(QByteArray::fromStdString(row.nativePath).toBase64()));
            }
            rows.append(object);
        }
        QDir().mkpath(QFileInfo(path_).absolutePath());
        QSaveFile file(path_);
        if (!file.open(QIODevice::WriteOnly)) {
            return false;
        }
        file.write(QJsonDocument(QJsonObject{{QStringLiteral("rows"), rows}}).toJson());
        return file.commit();
    } catch (const std::exception&) {
        return false;  // memory ran out: the journal on disk stays as last written
    }
}

BatchJournal::Loaded BatchJournal::Load(const QString& path, Batch& batch, QStringList* refused) {
    if (!QFileInfo(path).exists() && !QFileInfo(path).isSymLink()) {
        return Loaded::kMissing;
    }
    QFile file;
    if (!OpenRegularFile(file, PathBytes(path))) {
        return Loaded::kUnreadable;
    }
    QJsonDocument document;
    try {
        document = QJsonDocument::fromJson(file.readAll());
    } catch (const std::exception&) {
        return Loaded::kUnreadable;  // more than memory holds
    }
    const QJsonValue rowsValue = document.object().value(QStringLiteral("rows"));
    if (!document.isObject() || !(rowsValue.isArray() || rowsValue.isUndefined())) {
        return Loaded::kUnreadable;
    }
    for (const QJsonValue& value : rowsValue.toArray()) {
        const QJsonObject row = value.toObject();
        const QString rowPath = row.value(QStringLiteral("path")).toString();
        if (rowPath.isEmpty()) {
            continue;
        }
        std::string nativePath = PathBytes(rowPath);
        const QJsonValue bytes = row.value(QStringLiteral("pathBytes"));
        if (bytes.isString()) {
            const QByteArray decoded = QByteArray::fromBase64(bytes.toString().toLatin1());
            if (!decoded.isEmpty()) {
                nativePath = decoded.toStdString();
            }
        }
        const QString problem = NameProblem(nativePath);
        if (!problem.isEmpty()) {
            if (refused) {
                refused->append(problem);
            }
            continue;
        }
        batch.AddRow(rowPath, nativePath);
        QString status = row.value(QStringLiteral("status")).toString();
        if (status == kStatusRunning) {
            status = kStatusInterrupted;
        }
        batch.rows.back().status = status;
        batch.RunLogs.back() = row.value(QStringLiteral("log")).toString().toLatin1();
    }
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
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, kShellTitle, kShellTitle);
    return QFileInfo(settings.fileName()).absolutePath() + '/' + fileName;
}

}  // namespace velto
