#include "engine/ListStore.h"

#include "engine/UrlList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>

#include <algorithm>
#include <atomic>

using namespace Qt::Literals::StringLiterals;

namespace {

// The layout of the file; a file of a later layout is left alone.
constexpr int FileVersion = 1;

const QString driverName = u"QSQLITE"_s;

// SQLite's primary result codes of a damaged file or of one that is no database.
bool isDamage(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok) & 0xFF;
    return ok && (code == 11 /* SQLITE_CORRUPT */ || code == 26 /* SQLITE_NOTADB */);
}

QSqlDatabase database(const QString &connection) { return QSqlDatabase::database(connection, false); }

void bindRow(QSqlQuery &query, const UrlList &list, int index)
{
    const int position = index + 1;
    const RowStatus status = list.rowStatus(position);
    query.bindValue(0, index);
    query.bindValue(1, list.linkName(position));
    query.bindValue(2, list.url(position));
    query.bindValue(3, int(status.state));
    query.bindValue(4, int(status.slot));
    query.bindValue(5, int(status.attempt));
    query.bindValue(6, int(status.progressKind));
    query.bindValue(7, status.endedAtMs);
    query.bindValue(8, status.progressValue);
    query.bindValue(9, status.progressMaximum);
    query.bindValue(10, list.failureReason(position));
}

UrlRow storedRow(const QSqlQuery &query)
{
    UrlRow row(query.value(0).toString(), query.value(1).toString());
    const int state = query.value(2).toInt();
    row.state = state >= int(RowState::Idle) && state <= int(RowState::RetryWaiting) ? RowState(state) : RowState::Idle;
    // No slot has the row any more: it waits for the next run.
    if (row.state == RowState::Downloading || row.state == RowState::RetryWaiting)
        row.state = RowState::Ready;
    row.slot = quint8(std::clamp(query.value(3).toInt(), 0, 255));
    row.attempt = quint8(std::clamp(query.value(4).toInt(), 0, 255));
    const int kind = query.value(5).toInt();
    row.progressKind = kind >= 0 && kind <= int(RowStatus::ProgressKind::Page) ? RowStatus::ProgressKind(kind)
                                                                               : RowStatus::ProgressKind::None;
    row.endedAtMs = query.value(6).toInt();
    row.progressValue = query.value(7).toLongLong();
    row.progressMaximum = query.value(8).toLongLong();
    row.setFailureReason(query.value(9).toString());
    return row;
}

// A free name beside the damaged file: PATH.corrupt, else PATH.2.corrupt, PATH.3.corrupt ...
QString asideName(const QString &path)
{
    QString aside = path + u".corrupt"_s;
    for (int n = 2; QFileInfo::exists(aside); ++n)
        aside = path + u'.' + QString::number(n) + u".corrupt"_s;
    return aside;
}

} // namespace

ListStore::ListStore(UrlList &list, QObject *parent) : QObject(parent), m_list(list)
{
    static std::atomic<quint64> stores{0};
    m_connection = u"quillmoor-list-store-"_s + QString::number(++stores);
    m_writeTimer.setSingleShot(true);
    m_writeTimer.setTimerType(Qt::PreciseTimer); // a coarse one may fire up to 5 % early
    m_writeTimer.setInterval(WriteIntervalMs);
    connect(&m_writeTimer, &QTimer::timeout, this, [this] { write(); });
}

ListStore::~ListStore()
{
    if (m_open)
        write();
    closeDatabase();
}

QString ListStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + u"/list.sqlite"_s;
}

bool ListStore::open(const QString &path)
{
    if (m_open || m_failed)
        return m_open;
    m_path = path;
    if (!QSqlDatabase::isDriverAvailable(driverName)) {
        fail(u"缺少 SQLite 数据库驱动（%1）"_s.arg(driverName));
        return false;
    }
    QDir().mkpath(QFileInfo(path).absolutePath()); // a folder that cannot be made fails the open below
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(driverName, m_connection);
        db.setDatabaseName(path);
        if (!db.open())
            error = db.lastError().text();
    }
    if (!error.isNull()) {
        failOnError(path, error);
        return false;
    }
    if (!setUp() || !load())
        return false;
    m_open = true;
    connectList();
    return true;
}

// Makes the table in a new file and proves the file writable: a store that could only read would
// lose every change without a word.
bool ListStore::setUp()
{
    QSqlQuery query(database(m_connection));
    // Write-ahead logging: a commit appends to the log without waiting for the disk, and a file
    // cut off by a crash comes back as of its last commit.
    if (!query.exec(u"PRAGMA journal_mode=WAL"_s) || !query.exec(u"PRAGMA synchronous=NORMAL"_s)
        || !query.exec(u"PRAGMA user_version"_s) || !query.next())
        return failOpening(query);
    if (query.value(0).toInt() > FileVersion) {
        query = QSqlQuery();
        failOnError(m_path, u"由更新版本的程序写成"_s);
        return false;
    }
    if (!query.exec(u"CREATE TABLE IF NOT EXISTS list_rows(position INTEGER PRIMARY KEY, link_name TEXT, "
                    "url TEXT, state INTEGER NOT NULL, slot INTEGER NOT NULL, attempt INTEGER NOT NULL, "
                    "progress_kind INTEGER NOT NULL, ended_at_ms INTEGER NOT NULL, progress_value INTEGER NOT NULL, "
                    "progress_maximum INTEGER NOT NULL, failure_reason TEXT)"_s)
        || !query.exec(u"PRAGMA user_version=%1"_s.arg(FileVersion)))
        return failOpening(query);
    return true;
}

bool ListStore::load()
{
    QSqlQuery query(database(m_connection));
    query.setForwardOnly(true);
    if (!query.exec(u"SELECT link_name, url, state, slot, attempt, progress_kind, ended_at_ms, progress_value, "
                    "progress_maximum, failure_reason FROM list_rows ORDER BY position"_s))
        return failOpening(query);
    std::vector<UrlRow> rows;
    while (query.next())
        rows.push_back(storedRow(query));
    if (query.lastError().isValid())
        return failOpening(query); // damage found past the first rows
    query = QSqlQuery();
    m_list.clear();
    m_list.appendRows(rows);
    return true;
}

bool ListStore::failOpening(QSqlQuery &query)
{
    const QSqlError error = query.lastError();
    query = QSqlQuery();
    if (!isDamage(error)) {
        failOnError(m_path, error.text());
        return false;
    }
    closeDatabase();
    const QString aside = asideName(m_path);
    if (!QFile::rename(m_path, aside)) {
        fail(u"%1 已损坏，且无法改名：%2"_s.arg(m_path, error.text()));
        return false;
    }
    // The log holds the last commits of the damaged file: it goes with it.
    if (QFileInfo::exists(m_path + u"-wal"_s))
        QFile::rename(m_path + u"-wal"_s, aside + u"-wal"_s);
    fail(u"%1 已损坏，已改名为 %2"_s.arg(m_path, aside));
    return false;
}

void ListStore::connectList()
{
    connect(&m_list, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex &, int first, int last) {
        if (last == m_list.count() - 1)
            rowsAppended(first);
        else
            structureChanged();
    });
    connect(&m_list, &QAbstractItemModel::rowsRemoved, this, &ListStore::structureChanged);
    connect(&m_list, &QAbstractItemModel::rowsMoved, this, &ListStore::structureChanged);
    connect(&m_list, &QAbstractItemModel::modelReset, this, &ListStore::structureChanged);
    connect(&m_list, &QAbstractItemModel::layoutChanged, this, &ListStore::structureChanged);
    connect(&m_list, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &topLeft, const QModelIndex &bottomRight) {
                rowsChanged(topLeft.row(), bottomRight.row());
            });
}

void ListStore::schedule()
{
    if (m_open && !m_writeTimer.isActive())
        m_writeTimer.start();
}

void ListStore::structureChanged()
{
    m_rewriteAll = true;
    m_appendFrom = -1;
    m_changed.clear();
    schedule();
}

void ListStore::rowsAppended(int first)
{
    if (!m_rewriteAll)
        m_appendFrom = m_appendFrom < 0 ? first : std::min(m_appendFrom, first);
    schedule();
}

void ListStore::rowsChanged(int first, int last)
{
    // Rows appended since the last write are written whole anyway.
    if (m_appendFrom >= 0)
        last = std::min(last, m_appendFrom - 1);
    if (!m_rewriteAll && first <= last)
        m_changed.emplace_back(first, last);
    schedule();
}

bool ListStore::flush()
{
    if (!m_open)
        return false;
    m_writeTimer.stop();
    return write();
}

bool ListStore::write()
{
    if (!m_open)
        return false;
    if (!m_rewriteAll && m_appendFrom < 0 && m_changed.empty())
        return true;
    QString error;
    if (!writeChanges(error)) {
        failOnError(m_path, error);
        return false;
    }
    ++m_writes;
    m_rewriteAll = false;
    m_appendFrom = -1;
    m_changed.clear();
    return true;
}

bool ListStore::writeChanges(QString &error)
{
    QSqlDatabase db = database(m_connection);
    if (!db.transaction()) {
        error = db.lastError().text();
        return false;
    }
    QSqlQuery query(db);
    bool written = (!m_rewriteAll || query.exec(u"DELETE FROM list_rows"_s))
        && query.prepare(u"INSERT OR REPLACE INTO list_rows(position, link_name, url, state, slot, attempt, "
                         "progress_kind, ended_at_ms, progress_value, progress_maximum, failure_reason) "
                         "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"_s);
    const auto writeRange = [&](int first, int end) {
        for (int index = first; index < end && written; ++index) {
            bindRow(query, m_list, index);
            written = query.exec();
        }
    };
    const int count = m_list.count();
    if (m_rewriteAll) {
        writeRange(0, count);
    } else {
        // Ranges sorted by their first row: each row is written once however often it changed.
        std::sort(m_changed.begin(), m_changed.end());
        int next = 0;
        for (const auto &[first, last] : m_changed) {
            writeRange(std::max(first, next), std::min(last + 1, count));
            next = std::max(next, last + 1);
        }
        if (m_appendFrom >= 0)
            writeRange(m_appendFrom, count);
    }
    if (written && db.commit())
        return true;
    error = written ? db.lastError().text() : query.lastError().text();
    query = QSqlQuery();
    db.rollback();
    return false;
}

void ListStore::fail(const QString &reason)
{
    m_open = false;
    m_writeTimer.stop();
    disconnect(&m_list, nullptr, this, nullptr);
    closeDatabase();
    if (!std::exchange(m_failed, true))
        emit unusable(reason);
}

void ListStore::failOnError(const QString &what, const QString &error) { fail(what + u"："_s + error); }

void ListStore::closeDatabase()
{
    if (!QSqlDatabase::contains(m_connection))
        return;
    database(m_connection).close();
    QSqlDatabase::removeDatabase(m_connection);
}
