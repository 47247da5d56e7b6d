#include "shell/ListTab.h"

#include "engine/UrlList.h"
#include "platform/Dialogs.h"
#include "shell/AddUrlDialog.h"
#include "shell/LayoutUnits.h"
#include "shell/ProgressCellDelegate.h"
#include "urllist/DroppedRows.h"
#include "urllist/ListCommands.h"
#include "urllist/UrlListFilter.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QScrollBar>
#include <QShortcut>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

using namespace Qt::Literals::StringLiterals;

namespace {

int clampToInt(qint64 value) { return static_cast<int>(std::clamp<qint64>(value, 0, INT_MAX)); }

} // namespace

ListTab::ListTab(UrlList &list, Dialogs &dialogs, QProgressBar &progressBar, QWidget *parent)
    : QWidget(parent), m_list(list), m_dialogs(dialogs), m_progressBar(progressBar),
      m_filter(new UrlListFilter(list, this))
{
    setObjectName(u"ListTab"_s);

    m_view = new QTableView(this);
    m_view->setObjectName(u"ListView1"_s);
    m_view->setModel(m_filter);
    m_view->setItemDelegateForColumn(UrlList::ProgressColumn, new ProgressCellDelegate(m_view));
    // No column sorted at first: the list's order. A third click on a header brings it back.
    m_view->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    m_view->horizontalHeader()->setSortIndicatorClearable(true);
    m_view->setSortingEnabled(true);
    m_view->viewport()->setAcceptDrops(true);
    m_view->viewport()->installEventFilter(this);
    new QShortcut(QKeySequence::Paste, m_view, this, &ListTab::paste, Qt::WidgetWithChildrenShortcut);
    m_view->setToolTip(u"双击打开网址，已下载的行打开文件"_s);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setShowGrid(false);
    m_view->setWordWrap(false);
    m_view->setAlternatingRowColors(false);
    m_view->verticalHeader()->hide();
    // Fixed row heights keep a list of hundreds of thousands of rows quick to scroll.
    m_view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_view->verticalHeader()->setDefaultSectionSize(m_view->fontMetrics().height() + 4);
    m_view->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_view->horizontalHeader()->setHighlightSections(false);
    const int columnTwips[] = {2000, 5000, 2000, 2000, 2500};
    for (int column = 0; column < UrlList::ColumnCount; ++column)
        m_view->setColumnWidth(column, twipsToPixels(columnTwips[column]));

    m_menu = new QMenu(u"网址列表(&L)"_s, this);
    m_menu->setObjectName(u"menu网址列表"_s);
    addMenuCommand(u"menu打开链接"_s, u"打开链接(&O)"_s, &ListTab::openLink);
    addMenuCommand(u"menu复制网址"_s, u"复制网址(&C)"_s, &ListTab::copyAddress);
    m_openFile = addMenuCommand(u"menu打开文件"_s, u"打开文件(&F)"_s, &ListTab::openFile);
    m_openFolder = addMenuCommand(u"menu打开所在文件夹"_s, u"打开所在文件夹(&N)"_s, &ListTab::openFolder);
    m_menu->addSeparator()->setObjectName(u"fgh676"_s);
    addMenuCommand(u"menu删除"_s, u"删除(&D)"_s, &ListTab::deleteSelected);
    addMenuCommand(u"menu删除重复网址"_s, u"删除重复网址(&E)"_s, &ListTab::deleteDuplicates);
    addMenuCommand(u"menu清空列表"_s, u"清空列表(&R)"_s, &ListTab::clearList);
    m_menu->addSeparator()->setObjectName(u"yu567"_s);
    addMenuCommand(u"menu导出到文件"_s, u"导出到文件(&P)"_s, &ListTab::exportToFile);
    addMenuCommand(u"menu导出失败的网址"_s, u"导出失败的网址(&X)"_s, &ListTab::exportFailed);
    m_menu->addSeparator();
    m_retryRow = addMenuCommand(u"menu重试此行"_s, u"重试此行(&Y)"_s, &ListTab::retryRow);
    m_cancelRow = addMenuCommand(u"menu取消此行"_s, u"取消此行(&Z)"_s, &ListTab::cancelRow);
    addMenuCommand(u"menu重试失败的网址"_s, u"重试失败的网址(&T)"_s, &ListTab::retryFailed);
    connect(m_menu, &QMenu::aboutToShow, this, &ListTab::updateRowCommands);

    m_view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_view, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { m_menu->popup(m_view->viewport()->mapToGlobal(pos)); });
    connect(m_view, &QAbstractItemView::doubleClicked, this, &ListTab::onDoubleClicked);
    connect(m_view->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { m_following = m_following && m_scrolling; });

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(buildFilterBar());
    layout->addWidget(m_view);
}

QWidget *ListTab::buildFilterBar()
{
    auto *bar = new QWidget(this);
    auto *text = new QLineEdit(bar);
    text->setObjectName(u"FilterText"_s);
    text->setPlaceholderText(u"链接名称或网址"_s);
    text->setClearButtonEnabled(true);
    connect(text, &QLineEdit::textChanged, m_filter, &UrlListFilter::setText);
    auto *state = new QComboBox(bar);
    state->setObjectName(u"FilterState"_s);
    state->addItems({u"全部"_s, u"等待"_s, u"下载中"_s, u"完成"_s, u"失败"_s, u"跳过"_s});
    connect(state, &QComboBox::currentIndexChanged, m_filter,
            [this](int choice) { m_filter->setStateChoice(UrlListFilter::StateChoice(choice)); });
    auto *layout = new QHBoxLayout(bar);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel(u"筛选："_s, bar));
    layout->addWidget(text, 1);
    layout->addWidget(state);
    return bar;
}

void ListTab::updateRowCommands()
{
    const RowCommands commands = rowCommands(m_list, currentPosition());
    m_openFile->setEnabled(commands.openFile);
    m_openFolder->setEnabled(commands.openFile);
    m_retryRow->setEnabled(commands.retry);
    m_cancelRow->setEnabled(commands.cancel);
}

bool ListTab::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_view->viewport())
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove:
        static_cast<QDropEvent *>(event)->acceptProposedAction();
        return true;
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        drop->acceptProposedAction();
        // The drag ends before anything is imported or said.
        QTimer::singleShot(0, this, [this, items = droppedItems(*drop->mimeData())] { addItems(items); });
        return true;
    }
    default: return QWidget::eventFilter(watched, event);
    }
}

void ListTab::paste()
{
    const QMimeData *held = QGuiApplication::clipboard()->mimeData();
    addItems(held ? droppedItems(*held) : DroppedItems());
}

void ListTab::addItems(const DroppedItems &items)
{
    if (items.isEmpty()) {
        m_dialogs.message(u"没有可添加的网址"_s, Dialogs::Icon::Information);
        return;
    }
    m_list.appendRows(items.rows);
    if (!items.files.isEmpty())
        emit filesDropped(items.files);
}

void ListTab::openFile()
{
    const int position = currentPosition();
    if (rowCommands(m_list, position).openFile)
        m_dialogs.openExternally(m_list.savedPath(position));
}

void ListTab::openFolder()
{
    const int position = currentPosition();
    if (rowCommands(m_list, position).openFile)
        m_dialogs.openExternally(QFileInfo(m_list.savedPath(position)).absolutePath());
}

void ListTab::retryRow()
{
    if (m_list.markRowReady(currentPosition()))
        emit retryRequested();
}

void ListTab::cancelRow()
{
    const int position = currentPosition();
    if (rowCommands(m_list, position).cancel)
        emit cancelRowRequested(position);
}

QAction *ListTab::addMenuCommand(const QString &name, const QString &caption, void (ListTab::*command)())
{
    QAction *action = m_menu->addAction(caption);
    action->setObjectName(name);
    connect(action, &QAction::triggered, this, command);
    return action;
}

ListProgress ListTab::barProgress(bool keepWindowResponsive)
{
    return [this, keepWindowResponsive](qint64 value, qint64 maximum) {
        m_progressBar.setMaximum(std::max(1, clampToInt(maximum)));
        m_progressBar.setValue(clampToInt(value));
        if (keepWindowResponsive)
            QCoreApplication::processEvents();
    };
}

int ListTab::currentPosition() const
{
    return m_filter->position(m_view->currentIndex());
}

void ListTab::follow(int position)
{
    if (!m_following || !m_list.hasRow(position))
        return;
    m_scrolling = true;
    // A row the filter hides gives no index: nothing moves.
    m_view->scrollTo(m_filter->mapFromSource(m_list.index(position - 1, 0)));
    m_scrolling = false;
}

void ListTab::onDoubleClicked(const QModelIndex &index)
{
    const int position = m_filter->position(index);
    if (rowCommands(m_list, position).openFile)
        m_dialogs.openExternally(m_list.savedPath(position));
    else if (m_list.hasRow(position))
        emit browseRequested(m_list.url(position));
}

void ListTab::openLink()
{
    const int position = currentPosition();
    if (m_list.hasRow(position))
        m_dialogs.openExternally(m_list.url(position));
}

void ListTab::copyAddress()
{
    const int position = currentPosition();
    if (m_list.hasRow(position))
        m_dialogs.setClipboardText(m_list.url(position));
}

void ListTab::deleteSelected()
{
    QCoreApplication::processEvents();
    if (m_list.count() == 0)
        return;
    const std::vector<int> positions = m_filter->positions(m_view->selectionModel()->selectedRows());
    deleteSelectedRows(m_list, positions, barProgress(false));
    m_progressBar.setValue(0);
    m_dialogs.message(u"所有选中项删除完毕！"_s, Dialogs::Icon::Information);
}

void ListTab::deleteDuplicates()
{
    QCoreApplication::processEvents();
    if (m_list.count() == 0)
        return;
    deleteDuplicateRows(m_list, barProgress(false));
    m_progressBar.setValue(0);
    m_dialogs.message(u"删除重复链接完毕！"_s, Dialogs::Icon::Information);
}

void ListTab::clearList()
{
    if (m_list.count() == 0)
        return;
    if (m_dialogs.askYesNo(u"确实要清空图片链接表吗?"_s))
        m_list.clear();
}

void ListTab::importTextFile()
{
    // The import keeps the window responsive, so a second import could start inside it.
    if (m_importing)
        return;
    emit showRequested();
    QCoreApplication::processEvents();
    const QString path = m_dialogs.openFileName(u"*.txt (*.txt);;*.* (*)"_s);
    if (!path.isEmpty())
        importFile(path);
}

void ListTab::importFile(const QString &path)
{
    if (m_importing)
        return;
    emit showRequested();
    const QString separator = m_separatorSource ? m_separatorSource() : u"->"_s;
    m_importing = true;
    if (m_list.count() > 0)
        m_view->scrollToTop();
    const ListImport imported = importListFile(path, m_list, separator, barProgress(true));
    m_progressBar.setValue(0);
    m_importing = false;
    if (!imported.read) {
        m_dialogs.message(u"无法读取文件："_s + path, Dialogs::Icon::Critical);
        return;
    }
    // No message box for a file read: the status bar only counts what it left out.
    emit statusTextChanged(imported.droppedLines == 0 ? QString()
                                                       : u"已忽略 %1 行：不是“名称%2网址”格式"_s.arg(
                                                             QString::number(imported.droppedLines), separator));
}

void ListTab::exportToFile()
{
    if (m_list.count() == 0)
        return;
    const QString path = m_dialogs.saveFileName(u"*.TXT (*.TXT)"_s, u"txt"_s);
    if (path.isEmpty())
        return;
    const bool written = exportListFile(path, m_list, barProgress(false));
    m_progressBar.setValue(0);
    if (written)
        m_dialogs.message(u"网址列表已经导出到文件："_s + path, Dialogs::Icon::Information);
}

void ListTab::exportFailed()
{
    const auto failed = [this](int position) {
        const RowState state = m_list.state(position);
        return state == RowState::Failed || state == RowState::PageFailed;
    };
    bool any = false;
    for (int position = 1; position <= m_list.count() && !any; ++position)
        any = failed(position);
    if (!any) {
        m_dialogs.message(u"没有下载失败的网址。"_s, Dialogs::Icon::Information);
        return;
    }
    const QString path = m_dialogs.saveFileName(u"*.TXT (*.TXT)"_s, u"txt"_s);
    if (path.isEmpty())
        return;
    const bool written = exportListFile(path, m_list, barProgress(false), failed);
    m_progressBar.setValue(0);
    m_dialogs.message(written ? u"下载失败的网址已经导出到文件："_s + path : u"无法写入文件："_s + path,
                      written ? Dialogs::Icon::Information : Dialogs::Icon::Critical);
}

void ListTab::retryFailed()
{
    if (m_list.markFailedReady() == 0)
        m_dialogs.message(u"没有下载失败的网址。"_s, Dialogs::Icon::Information);
    else
        emit retryRequested();
}

void ListTab::addUrl()
{
    AddUrlDialog dialog(m_list, window());
    dialog.exec();
}
