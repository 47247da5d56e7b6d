#pragma once

#include <QObject>
#include <QStringList>

class BrowserTab;
class ListTab;

// The files the window was started with, or that a later start handed over, imported one after
// another: a saved page (.htm, .html) as the saved-page import does, any other file as a list
// file by the text-file import. A page's links are read only once it has loaded, so the next file
// waits until that harvest has ended: rows added, the wait given up, or the load failed.
class FileImportQueue : public QObject
{
    Q_OBJECT
public:
    // Both tabs must outlive the queue.
    FileImportQueue(ListTab &listTab, BrowserTab &browserTab, QObject *parent = nullptr);

    void add(const QStringList &paths);

    static bool isSavedPage(const QString &path);

private:
    void importNext();
    void pageEnded();

    ListTab &m_listTab;
    BrowserTab &m_browserTab;
    QStringList m_pending;
    bool m_busy = false;        // a list file is being read, or a page harvested
    bool m_pageUnderWay = false;
};
