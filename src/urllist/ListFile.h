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
    // A list of a million rows moves the bar about this many times, not once per row.
    static constexpr qint64 Reports = 256;

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


// Why a line of a list file gave no row.
enum class LineFault {
    NoSeparator, // the separator does not occur (always so for an empty separator)
    NoLinkName,  // nothing but blanks before the separator
    NotHttp,     // no occurrence of the separator is followed by an address beginning with "http"
};

struct DroppedLine
{
    qint64 lineNumber; // 1-based
    LineFault fault;
};

// What an import did. Blank lines (nothing but white space) are neither rows nor dropped.
struct ListImport
{
    static constexpr std::size_t reportedLines = 5;

    bool read = false; // false when the file could not be read; nothing was appended then
    qint64 rows = 0;
    qint64 droppedLines = 0;
    std::vector<DroppedLine> firstDropped; // the first reportedLines of them, in file order
};

// Appends a row for each line that holds link name, separator and address, in file order;
// nothing is deduplicated. A line is split at the first occurrence of the separator
// (case-insensitive) that is followed, after blanks, by an address passing the "http" rule, so
// a link name may itself hold the separator; name and address are trimmed of blanks and the
// name must not be empty.
// The file is read a piece at a time and decoded line by line (Codec::ListLineDecoder, a UTF-8
// byte-order mark allowed at its start); CR LF, a lone CR and a lone LF all end a line.
// Progress runs from 0 to lines + 1 and is reset to 0 at the end.
ListImport importListFile(const QString &path, UrlList &list, const QString &separator,
                          const ListProgress &progress = {});

// Writes every row (or every row at a position `include` accepts) as name + "->" + address +
// CR LF, in UTF-8 without byte-order mark, values as stored. The file is replaced only when the
// whole list was written. Returns false on failure.
bool exportListFile(const QString &path, const UrlList &list, const ListProgress &progress = {},
                    const std::function<bool(int)> &include = {});

// The add-URL dialog's acceptance: the trimmed name is not empty and the address, as typed,
// passes the "http" rule.
bool addUrlAccepted(const QString &linkName, const QString &address);
