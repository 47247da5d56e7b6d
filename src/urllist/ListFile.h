#pragma once

#include "engine/DownloadSettings.h"
#include "engine/UrlList.h"

#include <QString>

#include <functional>
#include <vector>

// Progress of a long list operation: value out of maximum (the window's progress bar).
using ListProgress = std::function<void(qint64 value, qint64 maximum)>;

// Passes progress on at most about 256 times whatever the maximum, so that a list of a million
// rows does not redraw the bar a million times. The first step and the last value are always
// passed on; reset() reports 0.
class ProgressThrottle
{
public:
    ProgressThrottle(const ListProgress &progress, qint64 maximum, qint64 lastValue);
    void set(qint64 value);
    void reset();

private:
    ListProgress m_progress;
    qint64 m_maximum;
    qint64 m_lastValue;
    qint64 m_step;
    qint64 m_next = 1;
};


// One line of a list file split at the first occurrence of the separator (case-insensitive),
// both sides trimmed of blanks. Accepted only when the separator occurs, both sides are
// non-empty and the address passes the "http" rule.
bool parseListLine(const QString &line, const QString &separator, UrlRow *row);

// Appends the accepted lines of the file to the list, in file order; nothing is deduplicated.
// The file is UTF-8 (with or without byte-order mark) or code page 936; CR LF, a lone CR and a
// lone LF all end a line. Progress runs from 0 to lines + 1 and is reset to 0 at the end.
// Returns false when the file cannot be read (nothing is appended then).
bool 导入ListView列表(const QString &文件名, UrlList &list, const QString &separator,
                     const ListProgress &progress = {});

// Writes every row as name + "->" + address + CR LF, in UTF-8 without byte-order mark, values as
// stored. The file is replaced only when the whole list was written. Returns false on failure.
bool exportListFile(const QString &path, const UrlList &list, const ListProgress &progress = {});

// The add-URL dialog's acceptance: the trimmed name is not empty and the address, as typed,
// passes the "http" rule.
bool addUrlAccepted(const QString &linkName, const QString &address);
