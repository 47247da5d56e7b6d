#include "engine/RowTexts.h"

#include "engine/UrlList.h"

#include <QLocale>

#include <cmath>
#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace RowTexts {

QString ready() { return u"准备下载"_s; }

QString downloading(int slot) { return u"线程"_s + QString::number(slot) + u"正在下载..."_s; }

QString timeOfDay(const QTime &time) { return time.toString(u"hh:mm:ss"_s); }

QString skipped(const QTime &time) { return u"跳过 ["_s + timeOfDay(time) + u"]"_s; }

QString finished(const QTime &time) { return u"下载完成 ["_s + timeOfDay(time) + u"]"_s; }

QString failedRemark(const QTime &time) { return u"下载出错！ ["_s + timeOfDay(time) + u"]"_s; }

QString finishedAfterPageError() { return u"下载完成 "_s; }

QString retrying(int attempt) { return u"（第%1次重试）"_s.arg(attempt); }

QString waitingToRetry(int attempt) { return u"等待第%1次重试"_s.arg(attempt); }

namespace {

QTime endedAt(const RowStatus &row) { return QTime::fromMSecsSinceStartOfDay(row.endedAtMs); }

} // namespace

QString status(const RowStatus &row)
{
    switch (row.state) {
    case RowState::Idle: return {};
    case RowState::Ready: return ready();
    case RowState::Downloading: return downloading(row.slot) + (row.attempt > 0 ? retrying(row.attempt) : QString());
    case RowState::RetryWaiting: return waitingToRetry(row.attempt);
    case RowState::Saved:
    case RowState::Failed: return finished(endedAt(row));
    case RowState::Skipped: return skipped(endedAt(row));
    case RowState::PageFailed: return finishedAfterPageError();
    }
    return {};
}

QString progress(const RowStatus &row)
{
    switch (row.progressKind) {
    case RowStatus::ProgressKind::None: return {};
    case RowStatus::ProgressKind::Bytes: return fastProgress(row.progressValue, row.progressMaximum);
    case RowStatus::ProgressKind::Page: return pageProgress(int(row.progressValue), int(row.progressMaximum));
    }
    return {};
}

QString remark(const RowStatus &row)
{
    const bool failed = row.state == RowState::Failed || row.state == RowState::PageFailed
        || row.state == RowState::RetryWaiting;
    return failed ? failedRemark(endedAt(row)) : QString();
}

QString formatOneDecimal(double value)
{
    if (!std::isfinite(value))
        value = 0.0;
    QString text = QString::number(value, 'f', 1);
    if (text == u"-0.0"_s)
        text = u"0.0"_s;
    return text;
}

QString fastProgress(qint64 curBytes, qint64 maxBytes)
{
    // Double precision: no overflow for files of any size.
    double percentage = maxBytes != 0 ? static_cast<double>(curBytes) * 100.0 / static_cast<double>(maxBytes) : 0.0;
    if (percentage > 100.0)
        percentage = 100.0;
    const double size = static_cast<double>(maxBytes) / 1000.0;
    return formatOneDecimal(percentage) + u"%  "_s + formatOneDecimal(size) + u"KB"_s;
}

QString pageProgress(int progress, int progressMax)
{
    // Progress × 100 as a 32-bit number (an overflow counts as failure), divided in double
    // precision, rounded half to even; any failure leaves the percentage at 0, shown as 100.
    qint64 percentage = 0;
    const qint64 scaled = static_cast<qint64>(progress) * 100;
    if (progressMax != 0 && scaled <= std::numeric_limits<qint32>::max()
        && scaled >= std::numeric_limits<qint32>::min()) {
        const double quotient = static_cast<double>(scaled) / static_cast<double>(progressMax);
        const double rounded = std::nearbyint(quotient); // default rounding mode: half to even
        if (rounded <= std::numeric_limits<qint32>::max() && rounded >= std::numeric_limits<qint32>::min())
            percentage = static_cast<qint64>(rounded);
    }
    if (percentage == 0)
        percentage = 100;
    return formatOneDecimal(static_cast<double>(percentage)) + u"%  "_s;
}

QString elapsed(qint64 elapsedSeconds)
{
    const qint64 minutes = elapsedSeconds / 60;
    const qint64 seconds = elapsedSeconds % 60;
    return u"下载耗时："_s + QStringLiteral("%1").arg(minutes, 2, 10, QLatin1Char('0')) + u":"_s
        + QStringLiteral("%1").arg(seconds, 2, 10, QLatin1Char('0'));
}

QString linkCount(qint64 rows) { return u"链接数："_s + QString::number(rows); }

QString pageTitle(int slot, const QString &title) { return u"线程"_s + QString::number(slot) + u":"_s + title; }

QString runCounts(int done, int failed, int skipped, int left)
{
    return u"完成 %1  失败 %2  跳过 %3  剩余 %4"_s.arg(done).arg(failed).arg(skipped).arg(left);
}

QString speed(double bytesPerSecond)
{
    if (!std::isfinite(bytesPerSecond) || bytesPerSecond < 0.0)
        bytesPerSecond = 0.0;
    if (bytesPerSecond < 999.5)
        return QString::number(qint64(std::round(bytesPerSecond))) + u" B/s"_s;
    const char *const units[] = {"KB/s", "MB/s", "GB/s"};
    double value = bytesPerSecond / 1000.0;
    int unit = 0;
    while (value >= 999.95 && unit < 2) {
        value /= 1000.0;
        ++unit;
    }
    return formatOneDecimal(value) + u' ' + QLatin1StringView(units[unit]);
}

QString timeLeft(qint64 seconds)
{
    const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    const QString minutesSeconds = two(seconds / 60 % 60) + u':' + two(seconds % 60);
    return u"剩余时间 "_s + (seconds >= 3600 ? QString::number(seconds / 3600) + u':' + minutesSeconds : minutesSeconds);
}

} // namespace RowTexts
