// Grabs the main window's tabs and dialogs to PNG files, for looking at the layout:
//   quillmoor_screenshots OUTPUT_FOLDER
// The window runs over an in-memory settings store with a few sample rows; nothing is downloaded.
// The browser tab shows a sample page served on 127.0.0.1; no other host is reached.
#include "engine/DownloadDriver.h"
#include "engine/DownloadSettings.h"
#include "engine/PageSourceReplacements.h"
#include "engine/RowTexts.h"
#include "engine/UrlList.h"
#include "platform/Browser.h"
#include "platform/MemorySettingsStore.h"
#include "platform/web/BrowserProfile.h"
#include "shell/AboutDialog.h"
#include "shell/AddUrlDialog.h"
#include "shell/BrowserTab.h"
#include "shell/MainWindow.h"
#include "shell/HarvestFilterDialog.h"
#include "shell/InternetOptionsDialog.h"
#include "shell/ListTab.h"
#include "shell/Resources.h"
#include "shell/ToolStrip.h"
#include "support/BrowserTestEnvironment.h"
#include "support/FakeDialogs.h"
#include "support/FakeDownloader.h"
#include "support/TestHttpServer.h"
#include "urllist/HarvestFilter.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QStandardPaths>
#include <QTableView>
#include <QTabWidget>
#include <QTextStream>
#include <QTime>
#include <QTimer>

#include <cstdio>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

bool save(QWidget &widget, const QDir &dir, const QString &name)
{
    QCoreApplication::processEvents();
    const QString path = dir.filePath(name + u".png"_s);
    const bool ok = widget.grab().save(path);
    std::fprintf(ok ? stdout : stderr, "%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

const char samplePage[] =
    "<html><head><meta charset=\"utf-8\"><title>示例网页</title></head>"
    "<body style=\"font-family: sans-serif\"><h2>示例网页</h2><p>本页由本机的测试服务器提供。</p><ul>"
    "<li><a href=\"book/1.html\">第一章 风起</a></li><li><a href=\"book/2.html\">第二章 云涌</a></li>"
    "<li><a href=\"cover.jpg\">封面图片</a></li></ul></body></html>";

} // namespace

int main(int argc, char *argv[])
{
    prepareTestBrowserEngine();
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: quillmoor_screenshots OUTPUT_FOLDER\n");
        return 2;
    }
    QApplication::setWindowIcon(Resources::programIcon());
    QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(u"."_s)) {
        std::fprintf(stderr, "cannot make %s\n", argv[1]);
        return 2;
    }

    MemorySettingsStore store;
    DownloadSettings settings(store);
    settings.load();
    settings.setSaveFolder(QDir::tempPath() + u"/quillmoor-screenshots/"_s);
    PageSourceReplacements replacements(store);
    UrlList list;
    QList<FakeDownloader *> downloaders;
    DownloadDriver driver(list, settings);
    driver.setDownloaderFactory(fakeDownloaderFactory(&downloaders));
    FakeDialogs dialogs;
    BrowserProfile profile;
    TestHttpServer server;
    if (!server.listen()) {
        std::fprintf(stderr, "cannot serve the sample page\n");
        return 2;
    }
    TestHttpServer::Route page;
    page.contentType = "text/html; charset=utf-8";
    page.body = samplePage;
    server.setRoute("/sample.html", page);
    auto window = std::make_unique<MainWindow>(list, settings, driver, replacements, dialogs, &profile);

    const QTime at(14, 5, 9);
    list.append(u"第一章 风起"_s, u"http://example.invalid/book/1.html"_s);
    list.append(u"第二章 云涌"_s, u"http://example.invalid/book/2.html"_s);
    list.append(u"封面图片"_s, u"https://example.invalid/cover.jpg"_s);
    list.append(u"目录"_s, u"http://example.invalid/book/index.htm"_s);
    list.markAllReady();
    list.setProgress(1, UrlRow::ProgressKind::Bytes, 20480, 20480);
    list.endRow(1, RowState::Saved, at);
    list.setSavedPath(1, QDir(settings.saveFolder()).filePath(u"第一章 风起.html"_s));
    list.startRow(2, 2);
    list.setProgress(2, UrlRow::ProgressKind::Bytes, 5120, 20480);
    list.endRow(3, RowState::Failed, at, u"HTTP 404 Not Found"_s);
    window->show();
    window->lightsTick();
    // Hold the lights still, with slot 2 shown busy.
    window->findChild<QTimer *>(u"Timer4"_s)->stop();
    window->findChild<ToolStrip *>()->light(2)->setFillColour(StatusLight::Red);
    emit driver.elapsedTextChanged(RowTexts::elapsed(125));

    // The browser tab with the sample page loaded.
    Browser *browser = window->browserTab()->browser();
    window->browserTab()->navigate(server.urlText(u"/sample.html"_s));
    QElapsedTimer waited;
    waited.start();
    while ((browser->isBusy() || browser->location().isEmpty()) && waited.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (browser->isBusy())
        std::fprintf(stderr, "the sample page did not finish loading\n");

    bool ok = true;
    auto *tabs = window->findChild<QTabWidget *>(u"SSTab1"_s);
    for (int i = 0; i < tabs->count(); ++i) {
        if (!tabs->isTabVisible(i))
            continue;
        tabs->setCurrentIndex(i);
        if (i == MainWindow::BrowserTabIndex) {
            // The page is drawn by the engine once its view is shown.
            QElapsedTimer shown;
            shown.start();
            while (shown.elapsed() < 1500)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        ok &= save(*window, dir, u"tab%1"_s.arg(i));
    }
    tabs->setCurrentIndex(MainWindow::ListTabIndex);
    window->resize(1000, 640);
    ok &= save(*window, dir, u"tab1-large"_s);
    window->resize(716, 442);

    for (QAction *action : window->menuBar()->actions()) {
        if (QMenu *menu = action->menu(); menu && action->isVisible())
            ok &= save(*menu, dir, menu->objectName());
    }
    // The tray icon's menu, drawn as the widget it is (no notification area here).
    ok &= save(*window->findChild<QMenu *>(u"menu托盘"_s), dir, u"menu托盘"_s);

    // The list's pop-up menu on the saved row, its row commands enabled as they apply.
    QTableView *view = window->listTab()->view();
    view->setCurrentIndex(view->model()->index(0, 0));
    QMenu *rowMenu = window->listTab()->listMenu();
    rowMenu->popup(view->viewport()->mapToGlobal(view->visualRect(view->currentIndex()).center()));
    ok &= save(*rowMenu, dir, u"menu网址列表-saved-row"_s);
    rowMenu->hide();

    AboutDialog about(dialogs, window.get());
    about.show();
    ok &= save(about, dir, u"frmAbout"_s);
    InternetOptionsDialog options(&profile, dialogs, window.get());
    options.show();
    ok &= save(options, dir, u"InternetOptionsDialog"_s);
    AddUrlDialog addUrl(list, window.get());
    addUrl.show();
    ok &= save(addUrl, dir, u"AddURL"_s);

    // A manual's index: its chapters linked many times over, by fragment, beside a few files.
    std::vector<UrlRow> harvested;
    for (int chapter = 1; chapter <= 12; ++chapter) {
        for (int section = 0; section < 6; ++section)
            harvested.emplace_back(u"第%1章"_s.arg(chapter), u"http://example.invalid/manual/ch%1.html#s%2"_s.arg(chapter).arg(section));
    }
    harvested.emplace_back(u"PDF 版"_s, u"http://example.invalid/manual.pdf"_s);
    harvested.emplace_back(u"源代码"_s, u"http://example.invalid/src/manual.tar.gz"_s);
    harvested.emplace_back(u"首页"_s, u"http://example.invalid/"_s);
    harvested.emplace_back(u"镜像"_s, u"http://mirror.example.invalid/manual/ch1.html"_s);
    HarvestFilter filter(harvested, {u"http://example.invalid/manual/ch1.html"_s}, u"http://example.invalid/manual/index.html"_s);
    HarvestFilterDialog harvestFilter(filter, window.get());
    harvestFilter.findChild<QLineEdit *>(u"harvestMask"_s)->setText(u"*/manual/*"_s);
    harvestFilter.findChild<QCheckBox *>(u"harvestSameSite"_s)->setChecked(true);
    harvestFilter.show();
    ok &= save(harvestFilter, dir, u"HarvestFilterDialog"_s);
    return ok ? 0 : 1;
}
