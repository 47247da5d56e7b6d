#pragma once

#include <QString>
#include <QTime>

struct RowStatus;

// Every text the user sees of a row's state, made from the state in this one place.
namespace RowTexts {

// The status, progress and remark columns of a row.
QString status(const RowStatus &row);
QString progress(const RowStatus &row);
QString remark(const RowStatus &row);

QString ready();                                 // "准备下载"
QString downloading(int slot);                   // "线程" + N + "正在下载..."
QString skipped(const QTime &time);              // "跳过 [" + time + "]"
QString finished(const QTime &time);             // "下载完成 [" + time + "]"
QString failedRemark(const QTime &time);         // "下载出错！ [" + time + "]"
QString finishedAfterPageError();                // "下载完成 " (page-mode navigation error)
QString retrying(int attempt);                   // "（第K次重试）", after the downloading text
QString waitingToRetry(int attempt);             // "等待第K次重试"

// Time of day as the rows show it: hh:mm:ss.
QString timeOfDay(const QTime &time);

// Fast-mode progress: percentage "#0.0" + "%  " + size in thousands of bytes "#0.0" + "KB".
QString fastProgress(qint64 curBytes, qint64 maxBytes);
// Page-mode progress: the browser's progress as a whole percentage "#0.0" + "%  ", 0 shown as 100.
QString pageProgress(int progress, int progressMax);

// "#0.0": at least one integer digit, exactly one decimal.
QString formatOneDecimal(double value);

// Status-bar texts.
QString elapsed(qint64 elapsedSeconds);          // "下载耗时：" + mm + ":" + ss, minutes not wrapped
QString linkCount(qint64 rows);                  // "链接数：" + count
QString pageTitle(int slot, const QString &title); // "线程" + N + ":" + title
// The run's overview: "完成 N  失败 N  跳过 N  剩余 N".
QString runCounts(int done, int failed, int skipped, int left);
// "850 B/s", "1.2 KB/s", "3.4 MB/s", "1.1 GB/s": thousands of bytes, as the progress column.
QString speed(double bytesPerSecond);
// "剩余时间 " + mm:ss, or h:mm:ss from an hour on.
QString timeLeft(qint64 seconds);

} // namespace RowTexts
