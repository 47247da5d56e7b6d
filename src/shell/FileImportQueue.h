#pragma once

#include <QObject>
#include <QStringList>

class BrowserTab;
class ListTab;

// The files the window was started with, or that a later start handed over, imported one after
// another: a saved page (.htm, .html) as the saved-page import does, any other file as a list
// file by the text-file import. A page's links are read only once it has loaded, so the next file
// waits until that harvest has ended: rows added, the wait given up, or the load failed. No file
// is imported while any harvest is under way, one the user started included, its review perhaps
// open: a page would be shown under that review, and its own review open over it.
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
    // A harvest, the queue's own or not, has ended, or the queue's page will not be harvested.
    void harvestEnded();

    ListTab &m_listTab;
    BrowserTab &m_browserTab;
    QStringList m_pending;
    bool m_busy = false;        // a list file is being read, or the queue's page harvested
    bool m_pageUnderWay = false;
};
