#pragma once

#include "urllist/ListFile.h"

#include <QWidget>

#include <functional>

class Dialogs;
class QAction;
class QMenu;
class QMimeData;
class QProgressBar;
class QTableView;
class UrlList;
class UrlListFilter;
struct DroppedItems;

// Tab 1 "网址列表": the list view ListView1 on the URL list, its pop-up menu menu网址列表 (also
// the window's menu of that name) and the commands that read, write and edit the list. The view
// shows the list through a filter that sorts and filters it; commands act on list positions.
// List files, saved pages and addresses dropped on the view, or pasted with Ctrl+V, are added.
class ListTab : public QWidget
{
    Q_OBJECT
public:
    ListTab(UrlList &list, Dialogs &dialogs, QProgressBar &progressBar, QWidget *parent = nullptr);

    QTableView *view() const { return m_view; }
    QMenu *listMenu() const { return m_menu; }
    UrlListFilter *filter() const { return m_filter; }
    // Where the import reads the separator from: the settings tab's box as it reads now.
    void setSeparatorSource(std::function<QString()> source) { m_separatorSource = std::move(source); }

    // The current row's 1-based position, or 0 when no row is current.
    int currentPosition() const;
    // The list follows a run: follow() keeps the row in view, from startFollowing() until the
    // user scrolls the list.
    void startFollowing() { m_following = true; }
    void follow(int position);

    void openLink();
    void copyAddress();
    void deleteSelected();
    void deleteDuplicates();
    void clearList();
    void importTextFile();
    // The same import of a file already chosen; a file that cannot be read is reported.
    void importFile(const QString &path);
    void exportToFile();
    // The rows whose download failed: written to a list file, or made ready to be run again.
    void exportFailed();
    void retryFailed();
    void addUrl();
    // The current row's file, with the desktop's handler, or the folder it lies in.
    void openFile();
    void openFolder();
    // The current row, ready and run again; cancelled.
    void retryRow();
    void cancelRow();
    // Adds what the clipboard holds, as a drop would.
    void paste();
    // What a drop or a paste gives: rows appended, files handed on; nothing is said to the user
    // when there is nothing to add.
    void addItems(const DroppedItems &items);

signals:
    // The list tab wants to be the shown tab of the window.
    void showRequested();
    // A row was double-clicked: show its address in the browser tab.
    void browseRequested(const QString &address);
    // Failed rows, or one row, were made ready again: the run should take them.
    void retryRequested();
    // The row at this list position should be cancelled.
    void cancelRowRequested(int position);
    // Local files were dropped or pasted: list files and saved pages to import.
    void filesDropped(const QStringList &paths);
    // A text for the status bar's first panel: after an import, how many lines gave no row.
    void statusTextChanged(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *buildFilterBar();
    void updateRowCommands();
    QAction *addMenuCommand(const QString &name, const QString &caption, void (ListTab::*command)());
    ListProgress barProgress(bool keepWindowResponsive);
    void onDoubleClicked(const QModelIndex &index);

    UrlList &m_list;
    Dialogs &m_dialogs;
    QProgressBar &m_progressBar;
    UrlListFilter *m_filter;
    QTableView *m_view;
    QMenu *m_menu;
    QAction *m_openFile = nullptr;
    QAction *m_openFolder = nullptr;
    QAction *m_retryRow = nullptr;
    QAction *m_cancelRow = nullptr;
    std::function<QString()> m_separatorSource;
    bool m_importing = false;
    bool m_following = false;
    bool m_scrolling = false; // follow() is moving the list
};
