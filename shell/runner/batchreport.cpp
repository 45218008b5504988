#include "shell/runner/batchreport.h"

#include <cmath>

namespace velto {

QString FormatDuration(double seconds) {
    const long long total = seconds > 0 ? static_cast<long long>(std::llround(seconds)) : 0;
    const long long hours = total / 3600;
    const long long minutes = total / 60 % 60;
    const long long secs = total % 60;
    if (hours > 0) {
        return QStringLiteral("%1:%2:%3")
            .arg(hours)
            .arg(minutes, 2, 10, QLatin1Char('0'))
            .arg(secs, 2, 10, QLatin1Char('0'));
    }
    return QStringLiteral("%1:%2").arg(minutes).arg(secs, 2, 10, QLatin1Char('0'));
}

std::optional<double> RemainingSeconds(double elapsedSeconds, float fraction) {
    if (!(fraction > 0) || elapsedSeconds <= 0) {
        return std::nullopt;
    }
    if (fraction >= 1) {
        return 0.0;
    }
    return elapsedSeconds * (1 - fraction) / fraction;
}

QString TimingText(double elapsedSeconds, float fraction) {
    QString text = FormatDuration(elapsedSeconds) + QStringLiteral(" elapsed");
    if (std::optional<double> left = RemainingSeconds(elapsedSeconds, fraction)) {
        text += QStringLiteral(", about ") + FormatDuration(*left) + QStringLiteral(" left");
    }
    return text;
}

QString BatchSummary(const std::vector<QString>& statuses, double seconds) {
    int completed = 0;
    int failed = 0;
    int aborted = 0;
    for (const QString& status : statuses) {
        completed += status == kStatusCompleted ? 1 : 0;
        failed += status == kStatusFailed ? 1 : 0;
        aborted += status == kStatusAborted ? 1 : 0;
    }
    return QStringLiteral("Batch finished: %1 Completed, %2 Failed, %3 Aborted in %4")
        .arg(completed)
        .arg(failed)
        .arg(aborted)
        .arg(FormatDuration(seconds));
}

}  // namespace velto
