#include "urllist/ListFile.h"

#include "engine/DownloadSettings.h"
#include "platform/Codec.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <numeric>
#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace {

// Rows are handed to the list in batches so that a big file does not signal once per row.
constexpr std::size_t appendBatch = 10000;
// The reader reads, and the writer flushes its buffer, at about this size.
constexpr qsizetype readChunk = 1 << 20;
constexpr qsizetype writeChunk = 1 << 20;

// Calls lineFound(begin, end) for every line of the file, as bytes, reading a chunk at a time:
// CR LF, a lone CR and a lone LF each end a line, and a last line without an ending counts too
// (CR and LF are single bytes in UTF-8 and GBK alike, never part of a longer character). False
// when the file cannot be read to its end.
template <typename F>
bool forEachLine(QFile &file, F lineFound)
{
    QByteArray chunk(readChunk, Qt::Uninitialized);
    QByteArray pending; // the start of a line that the chunk's end cut
    bool afterCr = false; // a CR ended the chunk: an LF first in the next one belongs to it
    for (;;) {
        const qint64 got = file.read(chunk.data(), readChunk);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        const char *p = chunk.constData();
        const char *const end = p + got;
        if (afterCr && *p == '\n')
            ++p;
        afterCr = false;
        while (p < end) {
            const char *lineEnd = std::find_if(p, end, [](char c) { return c == '\r' || c == '\n'; });
            if (lineEnd == end) {
                pending.append(p, end - p);
                break;
            }
            if (pending.isEmpty()) {
                lineFound(p, lineEnd);
            } else {
                pending.append(p, lineEnd - p);
                lineFound(pending.cbegin(), pending.cend());
                pending.clear();
            }
            p = lineEnd + 1;
            if (*lineEnd == '\r') {
                if (p == end)
                    afterCr = true;
                else if (*p == '\n')
                    ++p;
            }
        }
    }
    if (!pending.isEmpty())
        lineFound(pending.cbegin(), pending.cend());
    return true;
}

bool isBlankLine(QStringView line)
{
    return std::all_of(line.begin(), line.end(), [](QChar c) { return c.isSpace(); });
}

// Splits the line into row, or says why it is no row.
std::optional<LineFault> parseListLine(QStringView line, const QString &separator, UrlRow &row)
{
    if (separator.isEmpty())
        return LineFault::NoSeparator;
    qsizetype at = line.indexOf(separator, 0, Qt::CaseInsensitive);
    if (at < 0)
        return LineFault::NoSeparator;
    for (; at >= 0; at = line.indexOf(separator, at + 1, Qt::CaseInsensitive)) {
        qsizetype start = at + separator.size();
        while (start < line.size() && line[start] == u' ')
            ++start;
        if (start == line.size())
            break; // nothing but blanks after this occurrence, and so after any later one
        if (!startsWithHttp(line.mid(start, 4).toString()))
            continue;
        const QStringView name = trimBlanks(line.left(at));
        if (name.isEmpty())
            return LineFault::NoLinkName;
        row = UrlRow(name.toString(), trimBlanks(line.mid(start)).toString());
        return std::nullopt;
    }
    return LineFault::NotHttp;
}

} // namespace

ProgressThrottle::ProgressThrottle(const ListProgress &progress, qint64 maximum, qint64 lastValue)
    : m_progress(progress), m_maximum(maximum), m_lastValue(lastValue),
      m_step(std::max<qint64>(1, lastValue / ProgressThrottle::Reports))
{
}

void ProgressThrottle::set(qint64 value)
{
    if (!m_progress || (value < m_next && value != m_lastValue))
        return;
    m_progress(value, m_maximum);
    m_next = value + m_step;
}

void ProgressThrottle::reset()
{
    if (m_progress)
        m_progress(0, m_maximum);
}

ListImport importListFile(const QString &path, UrlList &list, const QString &separator,
                          const ListProgress &progress)
{
    ListImport result;
    if (path.isEmpty())
        return result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    // A first pass counts the lines, for the progress bar and so that the list grows once.
    qint64 lineCount = 0;
    if (!forEachLine(file, [&lineCount](const char *, const char *) { ++lineCount; }) || !file.seek(0))
        return result;
    result.read = true;
    ProgressThrottle bar(progress, lineCount + 1, lineCount);
    bar.reset();
    list.reserve(std::size_t(list.count()) + std::size_t(lineCount));

    const int rowsBefore = list.count();
    Codec::ListLineDecoder decoder;
    std::vector<UrlRow> batch;
    qint64 lineNumber = 0;
    const bool complete = forEachLine(file, [&](const char *begin, const char *end) {
        bar.set(++lineNumber);
        if (lineNumber == 1 && Codec::ListLineDecoder::startsWithByteOrderMark(begin, end))
            begin += 3;
        const QString line = decoder.decode(begin, end);
        UrlRow row;
        if (const auto fault = parseListLine(line, separator, row)) {
            if (isBlankLine(line))
                return;
            ++result.droppedLines;
            if (result.firstDropped.size() < ListImport::reportedLines)
                result.firstDropped.push_back({lineNumber, *fault});
            return;
        }
        batch.push_back(std::move(row));
        ++result.rows;
        if (batch.size() >= appendBatch) {
            list.appendRows(batch);
            batch.clear();
        }
    });
    list.appendRows(batch);
    bar.reset();
    if (!complete) { // nothing of a file that could not be read to its end
        std::vector<int> added(std::size_t(list.count() - rowsBefore));
        std::iota(added.begin(), added.end(), rowsBefore + 1);
        list.removePositions(std::move(added));
        return ListImport{};
    }
    return result;
}

bool exportListFile(const QString &path, const UrlList &list, const ListProgress &progress,
                    const std::function<bool(int)> &include)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;

    const int rows = list.count();
    ProgressThrottle bar(progress, rows, rows);
    const QString arrow = u"->"_s;
    const QString lineEnd = u"\r\n"_s;
    QByteArray buffer;
    bool written = true;
    for (int position = 1; position <= rows && written; ++position) {
        bar.set(position);
        if (!include || include(position))
            buffer += (list.linkName(position) + arrow + list.url(position) + lineEnd).toUtf8();
        if (buffer.size() >= writeChunk || position == rows) {
            written = file.write(buffer) == buffer.size();
            buffer.clear();
        }
    }
    bar.reset();
    if (!written) {
        file.cancelWriting();
        file.commit(); // discards the temporary file; the old file stays as it was
        return false;
    }
    return file.commit();
}

bool addUrlAccepted(const QString &linkName, const QString &address)
{
    return !trimBlanks(QStringView(linkName)).isEmpty() && startsWithHttp(address);
}
