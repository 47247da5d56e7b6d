#include "HarvestMode.h"

#include "engine/DownloadSettings.h"
#include "engine/SaveNames.h"
#include "platform/Browser.h"
#include "urllist/Harvest.h"

#include <QEventLoop>
#include <QTimer>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {

void print(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

int runHarvest(const QString &addressOrFile, Browser &browser, int timeoutMs)
{
    if (!startsWithHttp(addressOrFile) && !localFileExists(addressOrFile)) {
        print(stderr, u"quillmoor: 该文件不存在！ "_s + addressOrFile + u"\n"_s);
        return 2;
    }
    browser.setSilent(true);
    browser.setCancelNewWindows(true);
    browser.setCancelWindowClosing(true);

    QEventLoop loop;
    enum class End { None, Loaded, Failed, TimedOut } end = End::None;
    QObject::connect(&browser, &Browser::loaded, &loop, [&] { end = End::Loaded; loop.quit(); });
    QObject::connect(&browser, &Browser::loadFailed, &loop, [&](int status) {
        end = End::Failed;
        print(stderr, u"quillmoor: the page could not be loaded ("_s + QString::number(status) + u")\n"_s);
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, [&] { end = End::TimedOut; loop.quit(); });
    browser.navigate(addressOrFile);
    loop.exec();
    if (end == End::TimedOut)
        print(stderr, u"quillmoor: the page did not finish loading in time\n"_s);
    if (end != End::Loaded)
        return 1;

    QList<BrowserLink> links;
    browser.readLinks([&](const QList<BrowserLink> &read) {
        links = read;
        loop.quit();
    });
    loop.exec();
    const std::vector<UrlRow> rows = harvestRows(links);
    QString out;
    for (const UrlRow &row : rows)
        out += row.linkName() + u"->"_s + row.url() + u"\r\n"_s;
    print(stdout, out);
    print(stderr, u"quillmoor: "_s + QString::number(rows.size()) + u" links harvested of "_s
                      + QString::number(links.size()) + u"\n"_s);
    return 0;
}
