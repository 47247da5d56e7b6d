#include "urllist/ListFile.h"

#include "engine/DownloadSettings.h"
#include "platform/Codec.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr qint64 progressReports = 256;
// Rows are handed to the list in batches so that a big file does not signal once per row. A
// batch is at least as large as the list, so the list's storage grows geometrically.
constexpr std::size_t appendBatch = 10000;
// The writer flushes its buffer at about this size.
constexpr qsizetype writeChunk = 1 << 20;

bool isLineEnd(QChar c) { return c == u'\r' || c == u'\n'; }

// Calls lineFound(view) for every line: CR LF, a lone CR and a lone LF each end a line, and a
// last line without an ending counts too. Returns the number of lines.
template <typename F>
qint64 forEachLine(QStringView text, F lineFound)
{
    qint64 lines = 0;
    const qsizetype size = text.size();
    qsizetype start = 0;
    while (start < size) {
        qsizetype end = start;
        while (end < size && !isLineEnd(text[end]))
            ++end;
        lineFound(text.mid(start, end - start));
        ++lines;
        if (end < size && text[end] == u'\r' && end + 1 < size && text[end + 1] == u'\n')
            ++end;
        start = end + 1;
    }
    return lines;
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
      m_step(std::max<qint64>(1, lastValue / progressReports))
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
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return result;
    file.close();
    result.read = true;

    const QString text = Codec::decodeListFile(bytes);
    const qint64 lineCount = forEachLine(text, [](QStringView) {});
    ProgressThrottle bar(progress, lineCount + 1, lineCount);
    bar.reset();

    std::vector<UrlRow> batch;
    qint64 lineNumber = 0;
    forEachLine(text, [&](QStringView line) {
        bar.set(++lineNumber);
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
        if (batch.size() >= std::max(appendBatch, static_cast<std::size_t>(list.count()))) {
            list.appendRows(batch);
            batch.clear();
        }
    });
    list.appendRows(batch);
    bar.reset();
    return result;
}

bool exportListFile(const QString &path, const UrlList &list, const ListProgress &progress)
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
