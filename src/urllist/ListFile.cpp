#include "urllist/ListFile.h"

#include "engine/DownloadSettings.h"
#include "platform/Codec.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>

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

bool parseListLineView(QStringView line, const QString &separator, UrlRow *row)
{
    if (separator.isEmpty())
        return false;
    const qsizetype at = line.indexOf(separator, 0, Qt::CaseInsensitive);
    if (at < 0)
        return false;
    const QStringView name = trimBlanks(line.left(at));
    const QStringView address = trimBlanks(line.mid(at + separator.size()));
    if (name.isEmpty() || address.isEmpty() || !startsWithHttp(address.left(4).toString()))
        return false;
    if (row) {
        row->linkName = name.toString();
        row->url = address.toString();
        row->status.clear();
        row->progress.clear();
        row->remark.clear();
    }
    return true;
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

bool parseListLine(const QString &line, const QString &separator, UrlRow *row)
{
    return parseListLineView(line, separator, row);
}

bool 导入ListView列表(const QString &文件名, UrlList &list, const QString &separator,
                     const ListProgress &progress)
{
    if (文件名.isEmpty())
        return false;
    QFile file(文件名);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return false;
    file.close();

    const QString text = Codec::decodeListFile(bytes);
    const qint64 lineCount = forEachLine(text, [](QStringView) {});
    ProgressThrottle bar(progress, lineCount + 1, lineCount);
    bar.reset();

    std::vector<UrlRow> batch;
    qint64 lineNumber = 0;
    forEachLine(text, [&](QStringView line) {
        bar.set(++lineNumber);
        UrlRow row;
        if (!parseListLineView(line, separator, &row))
            return;
        batch.push_back(std::move(row));
        if (batch.size() >= std::max(appendBatch, static_cast<std::size_t>(list.count()))) {
            list.appendRows(batch);
            batch.clear();
        }
    });
    list.appendRows(batch);
    bar.reset();
    return true;
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
        const UrlRow &row = list.row(position);
        buffer += (row.linkName + arrow + row.url + lineEnd).toUtf8();
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
