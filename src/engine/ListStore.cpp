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

// The layout of the file; a file of a later layout is left alone. Version 2 added saved_path.
constexpr int FileVersion = 2;

const QString driverName = u"QSQLITE"_s;

// SQLite's primary result codes of a damaged file or of one that is no database.
bool isDamage(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok) & 0xFF;
    return ok && (code == 11 /* SQLITE_CORRUPT */ || code == 26 /* SQLITE_NOTADB */);
}

QSqlDatabase database(const QString &connection) { return QSqlDatabase::database(connection, false); }

// A row as a write takes it from the list: its texts only when it is written whole.
struct RowRecord
{
    int index = 0;
    QString linkName;
    QString url;
    RowStatus status;
    QString reason;
    QString savedPath;
};

// The row's status, its reason and saved path, bound from the placeholder `first` on, in the
// table's column order.
void bindStatus(QSqlQuery &query, const RowRecord &row, int first)
{
    query.bindValue(first, int(row.status.state));
    query.bindValue(first + 1, int(row.status.slot));
    query.bindValue(first + 2, int(row.status.attempt));
    query.bindValue(first + 3, int(row.status.progressKind));
    query.bindValue(first + 4, row.status.endedAtMs);
    query.bindValue(first + 5, row.status.progressValue);
    query.bindValue(first + 6, row.status.progressMaximum);
    query.bindValue(first + 7, row.reason);
    query.bindValue(first + 8, row.savedPath);
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
    row.setSavedPath(query.value(10).toString());
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

struct ListStore::Changes
{
    bool rewriteAll = false;         // every row goes, then `whole` is the list
    std::vector<RowRecord> whole;    // rows written with their texts
    std::vector<RowRecord> statuses; // rows whose status alone changed
};

// The SQLite file behind a store: opened, written and closed on the store's writer thread, which
// owns its connection. After an error it stays closed and every write gives that error again.
class ListDatabase
{
public:
    explicit ListDatabase(QString connection) : m_connection(std::move(connection)) {}
    ~ListDatabase() { close(); }
    ListDatabase(const ListDatabase &) = delete;
    ListDatabase &operator=(const ListDatabase &) = delete;

    // Opens the file and reads its rows; the reason when it cannot be used (a null text when it can).
    QString open(const QString &path, std::vector<UrlRow> &rows);
    // One transaction with the changes (none when there are none); the reason when it failed.
    QString write(const ListStore::Changes &changes);
    void close();

    std::atomic<quint64> writes{0};

private:
    bool setUp();
    bool load(std::vector<UrlRow> &rows);
    bool failOpening(QSqlQuery &query);
    void fail(const QString &error);

    QString m_connection;
    QString m_path;
    QString m_error;
};

QString ListDatabase::open(const QString &path, std::vector<UrlRow> &rows)
{
    m_path = path;
    if (!QSqlDatabase::isDriverAvailable(driverName)) {
        m_error = u"缺少 SQLite 数据库驱动（%1）"_s.arg(driverName);
        return m_error;
    }
    QDir().mkpath(QFileInfo(path).absolutePath()); // a folder that cannot be made fails the open below
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(driverName, m_connection);
        db.setDatabaseName(path);
        if (!db.open())
            error = db.lastError().text();
    }
    if (!error.isNull())
        fail(error);
    else if (setUp())
        load(rows);
    return m_error;
}

// Makes the table in a new file, or brings a file of an earlier layout up to this one, and proves
// the file writable: a store that could only read would lose every change without a word.
bool ListDatabase::setUp()
{
    QSqlQuery query(database(m_connection));
    // Write-ahead logging: a commit appends to the log without waiting for the disk, and a file
    // cut off by a crash comes back as of its last commit.
    if (!query.exec(u"PRAGMA journal_mode=WAL"_s) || !query.exec(u"PRAGMA synchronous=NORMAL"_s)
        || !query.exec(u"PRAGMA user_version"_s) || !query.next())
        return failOpening(query);
    const int version = query.value(0).toInt();
    if (version > FileVersion) {
        query = QSqlQuery();
        fail(u"由更新版本的程序写成"_s);
        return false;
    }
    // A file of version 1 gains the column with its version in one transaction: a crash leaves it
    // of one layout or the other, never the new layout under the old number.
    if (!query.exec(u"BEGIN"_s)
        || !query.exec(u"CREATE TABLE IF NOT EXISTS list_rows(position INTEGER PRIMARY KEY, link_name TEXT, "
                       "url TEXT, state INTEGER NOT NULL, slot INTEGER NOT NULL, attempt INTEGER NOT NULL, "
                       "progress_kind INTEGER NOT NULL, ended_at_ms INTEGER NOT NULL, progress_value INTEGER NOT NULL, "
                       "progress_maximum INTEGER NOT NULL, failure_reason TEXT, saved_path TEXT)"_s)
        || (version == 1 && !query.exec(u"ALTER TABLE list_rows ADD COLUMN saved_path TEXT"_s))
        || !query.exec(u"PRAGMA user_version=%1"_s.arg(FileVersion)) || !query.exec(u"COMMIT"_s))
        return failOpening(query);
    return true;
}

bool ListDatabase::load(std::vector<UrlRow> &rows)
{
    QSqlQuery query(database(m_connection));
    query.setForwardOnly(true);
    if (!query.exec(u"SELECT link_name, url, state, slot, attempt, progress_kind, ended_at_ms, progress_value, "
                    "progress_maximum, failure_reason, saved_path FROM list_rows ORDER BY position"_s))
        return failOpening(query);
    while (query.next())
        rows.push_back(storedRow(query));
    if (query.lastError().isValid()) {
        rows.clear();
        return failOpening(query); // damage found past the first rows
    }
    return true;
}

bool ListDatabase::failOpening(QSqlQuery &query)
{
    const QSqlError error = query.lastError();
    query = QSqlQuery();
    if (!isDamage(error)) {
        fail(error.text());
        return false;
    }
    close();
    const QString aside = asideName(m_path);
    if (!QFile::rename(m_path, aside)) {
        m_error = u"%1 已损坏，且无法改名：%2"_s.arg(m_path, error.text());
        return false;
    }
    // The log holds the last commits of the damaged file: it goes with it.
    if (QFileInfo::exists(m_path + u"-wal"_s))
        QFile::rename(m_path + u"-wal"_s, aside + u"-wal"_s);
    m_error = u"%1 已损坏，已改名为 %2"_s.arg(m_path, aside);
    return false;
}

QString ListDatabase::write(const ListStore::Changes &changes)
{
    if (!m_error.isNull() || (!changes.rewriteAll && changes.whole.empty() && changes.statuses.empty()))
        return m_error;
    QSqlDatabase db = database(m_connection);
    if (!db.transaction()) {
        const QString error = db.lastError().text();
        db = QSqlDatabase();
        fail(error);
        return m_error;
    }
    QSqlQuery update(db);
    QSqlQuery insert(db);
    bool written = update.prepare(u"UPDATE list_rows SET state = ?, slot = ?, attempt = ?, progress_kind = ?, "
                                  "ended_at_ms = ?, progress_value = ?, progress_maximum = ?, failure_reason = ?, "
                                  "saved_path = ? WHERE position = ?"_s)
        && insert.prepare(u"INSERT INTO list_rows(position, link_name, url, state, slot, attempt, progress_kind, "
                          "ended_at_ms, progress_value, progress_maximum, failure_reason, saved_path) "
                          "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"_s);
    if (changes.rewriteAll)
        written = written && update.exec(u"DELETE FROM list_rows"_s);
    for (auto row = changes.statuses.cbegin(); written && row != changes.statuses.cend(); ++row) {
        bindStatus(update, *row, 0);
        update.bindValue(9, row->index);
        written = update.exec();
    }
    for (auto row = changes.whole.cbegin(); written && row != changes.whole.cend(); ++row) {
        insert.bindValue(0, row->index);
        insert.bindValue(1, row->linkName);
        insert.bindValue(2, row->url);
        bindStatus(insert, *row, 3);
        written = insert.exec();
    }
    if (written && db.commit()) {
        ++writes;
        return {};
    }
    QString error = db.lastError().text();
    if (!written)
        error = (update.lastError().isValid() ? update : insert).lastError().text();
    update = QSqlQuery();
    insert = QSqlQuery();
    db.rollback();
    db = QSqlDatabase();
    fail(error);
    return m_error;
}

void ListDatabase::fail(const QString &error)
{
    m_error = m_path + u"："_s + error;
    close();
}

void ListDatabase::close()
{
    if (!QSqlDatabase::contains(m_connection))
        return;
    database(m_connection).close();
    QSqlDatabase::removeDatabase(m_connection);
}


ListStore::ListStore(UrlList &list, QObject *parent) : QObject(parent), m_list(list)
{
    static std::atomic<quint64> stores{0};
    m_file = std::make_unique<ListDatabase>(u"quillmoor-list-store-"_s + QString::number(++stores));
    m_writerContext.moveToThread(&m_writerThread);
    m_writeTimer.setSingleShot(true);
    m_writeTimer.setTimerType(Qt::PreciseTimer); // a coarse one may fire up to 5 % early
    m_writeTimer.setInterval(WriteIntervalMs);
    connect(&m_writeTimer, &QTimer::timeout, this, &ListStore::writeLater);
}

ListStore::~ListStore()
{
    if (!m_writerThread.isRunning())
        return;
    if (m_open)
        flush();
    onWriter([this] { m_file->close(); }, Qt::BlockingQueuedConnection);
    m_writerThread.quit();
    m_writerThread.wait();
}

template <typename Work>
void ListStore::onWriter(Work work, Qt::ConnectionType type)
{
    QMetaObject::invokeMethod(&m_writerContext, std::move(work), type);
}

QString ListStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + u"/list.sqlite"_s;
}

quint64 ListStore::writeCount() const { return m_file->writes.load(); }

bool ListStore::open(const QString &path)
{
    if (m_open || m_failed)
        return m_open;
    m_writerThread.start();
    std::vector<UrlRow> rows;
    QString error;
    onWriter([&] { error = m_file->open(path, rows); }, Qt::BlockingQueuedConnection);
    if (!error.isNull()) {
        fail(error);
        return false;
    }
    m_list.clear();
    m_list.appendRows(rows);
    m_open = true;
    connectList();
    return true;
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
                // A run changes the state columns only; changed texts are rare enough to rewrite all.
                if (topLeft.column() < UrlList::StatusColumn)
                    structureChanged();
                else
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
    // Rows appended since the last write are taken whole anyway.
    if (m_appendFrom >= 0)
        last = std::min(last, m_appendFrom - 1);
    if (!m_rewriteAll && first <= last)
        m_changed.emplace_back(first, last);
    schedule();
}

std::shared_ptr<ListStore::Changes> ListStore::takeChanges()
{
    auto changes = std::make_shared<Changes>();
    const auto record = [this](int index, bool withTexts) {
        const int position = index + 1;
        RowRecord row;
        row.index = index;
        if (withTexts) {
            row.linkName = m_list.linkName(position);
            row.url = m_list.url(position);
        }
        row.status = m_list.rowStatus(position);
        row.reason = m_list.failureReason(position);
        row.savedPath = m_list.savedPath(position);
        return row;
    };
    const int count = m_list.count();
    changes->rewriteAll = m_rewriteAll;
    // Ranges sorted by their first row: each row is taken once however often it changed.
    std::sort(m_changed.begin(), m_changed.end());
    int next = 0;
    for (const auto &[first, last] : m_changed) {
        for (int index = std::max(first, next); index <= last && index < count; ++index)
            changes->statuses.push_back(record(index, false));
        next = std::max(next, last + 1);
    }
    const int wholeFrom = m_rewriteAll ? 0 : m_appendFrom;
    if (wholeFrom >= 0) {
        changes->whole.reserve(std::size_t(count - wholeFrom));
        for (int index = wholeFrom; index < count; ++index)
            changes->whole.push_back(record(index, true));
    }
    m_rewriteAll = false;
    m_appendFrom = -1;
    m_changed.clear();
    return changes;
}

void ListStore::writeLater()
{
    if (!m_open || !hasChanges())
        return;
    onWriter([this, changes = takeChanges()] {
        const QString error = m_file->write(*changes);
        if (!error.isNull())
            QMetaObject::invokeMethod(this, [this, error] { fail(error); }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}

bool ListStore::flush()
{
    if (!m_open)
        return false;
    m_writeTimer.stop();
    // Also waits for the writes under way, and reports their failure.
    QString error;
    onWriter([this, &error, changes = takeChanges()] { error = m_file->write(*changes); },
             Qt::BlockingQueuedConnection);
    if (!error.isNull())
        fail(error);
    return error.isNull();
}

void ListStore::fail(const QString &reason)
{
    m_open = false;
    m_writeTimer.stop();
    disconnect(&m_list, nullptr, this, nullptr);
    if (!std::exchange(m_failed, true))
        emit unusable(reason);
}
