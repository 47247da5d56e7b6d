#pragma once

#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>

#include <memory>
#include <utility>
#include <vector>

class ListDatabase;
class UrlList;

// Keeps a URL list in an SQLite file, so that its rows and their outcomes outlive the program
// (a crash, a kill, a machine that stops). Changes of the list are taken from it at most once a
// second and written in one transaction on a thread of the store's own, so that neither an
// import nor a run waits for the disk; flush() writes at once and waits. Each store has a
// database connection of its own, so several stores can live side by side.
//
// A file that cannot be used does not stop anything: the list goes on in memory only, and
// unusable() says why, once. A damaged file is renamed with a ".corrupt" suffix, never deleted.
class ListStore final : public QObject
{
    Q_OBJECT
public:
    explicit ListStore(UrlList &list, QObject *parent = nullptr);
    // Writes what is pending.
    ~ListStore() override;
    ListStore(const ListStore &) = delete;
    ListStore &operator=(const ListStore &) = delete;

    // Opens the file (made with its folder when missing) and replaces the list's rows with the
    // stored ones, each as it was, except that rows that were downloading or waiting for a retry
    // come back ready: no slot has them any more. From then on the list's changes are kept. False
    // (after unusable()) when the file cannot be read or written; the list is then left as it was.
    bool open(const QString &path);
    bool isOpen() const { return m_open; }
    // Writes the pending changes now and waits for them; false (after unusable()) when they, or
    // earlier ones, could not be written.
    bool flush();

    // Write transactions made since the store was made: lets tests bound the writes.
    quint64 writeCount() const;

    // The SQLite file of the window's list, in the program's data folder.
    static QString defaultPath();

    // What one write takes from the list.
    struct Changes;

signals:
    // The file cannot keep the list; the reason is for the user. Emitted once per store.
    void unusable(const QString &reason);

private:
    static constexpr int WriteIntervalMs = 1000;

    template <typename Work>
    void onWriter(Work work, Qt::ConnectionType type);
    std::shared_ptr<Changes> takeChanges();
    bool hasChanges() const { return m_rewriteAll || m_appendFrom >= 0 || !m_changed.empty(); }
    void writeLater();
    void fail(const QString &reason);
    void connectList();
    void schedule();
    void structureChanged();
    void rowsAppended(int first);
    void rowsChanged(int first, int last);

    UrlList &m_list;
    // The file is used on the writer thread only, through m_writerContext.
    std::unique_ptr<ListDatabase> m_file;
    QThread m_writerThread;
    QObject m_writerContext;
    QTimer m_writeTimer;
    bool m_open = false;
    bool m_failed = false;
    // What the next write has to take: every row again, or the rows from m_appendFrom on
    // (appended since the last write) and the changed ranges before them.
    bool m_rewriteAll = false;
    int m_appendFrom = -1;
    std::vector<std::pair<int, int>> m_changed; // 0-based, inclusive
};
