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

#include "shell/runner/batch.h"
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
    QJsonArray rows;
    for (std::size_t i = 0; i < batch_.rows.size(); ++i) {
        QByteArray log = i < static_cast<std::size_t>(batch_.RunLogs.size())
                             ? batch_.RunLogs[static_cast<qsizetype>(i)]
                             : QByteArray();
        if (log.size() > kMaxLogBytes) {
            log = log.right(kMaxLogBytes);
        }
        rows.append(QJsonObject{{QStringLiteral("path"), batch_.rows[i].path},
                                {QStringLiteral("status"), batch_.rows[i].status},
                                {QStringLiteral("log"), QString::fromLatin1(log)}});
    }
    QDir().mkpath(QFileInfo(path_).absolutePath());
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write(QJsonDocument(QJsonObject{{QStringLiteral("rows"), rows}}).toJson());
    return file.commit();
}

bool BatchJournal::Load(const QString& path, Batch& batch) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject()) {
        return false;
    }
    for (const QJsonValue& value : document.object().value(QStringLiteral("rows")).toArray()) {
        const QJsonObject row = value.toObject();
        const QString rowPath = row.value(QStringLiteral("path")).toString();
        if (rowPath.isEmpty()) {
            continue;
        }
        batch.AddRow(rowPath);
        QString status = row.value(QStringLiteral("status")).toString();
        if (status == kStatusRunning) {
            status = kStatusInterrupted;
        }
        batch.rows.back().status = status;
        batch.RunLogs.back() = row.value(QStringLiteral("log")).toString().toLatin1();
    }
    return true;
}

QString BatchJournal::DefaultPath(const QString& fileName) {
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, kShellTitle, kShellTitle);
    return QFileInfo(settings.fileName()).absolutePath() + '/' + fileName;
}

}  // namespace velto
