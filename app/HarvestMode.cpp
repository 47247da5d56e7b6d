#include "HarvestMode.h"

#include "engine/DownloadSettings.h"
#include "engine/SaveNames.h"
#include "platform/Browser.h"
#include "urllist/Harvest.h"
#include "urllist/HarvestFilter.h"

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

struct HarvestOptions
{
    QString target;
    QString match;
    bool sameSite = false;
    bool unique = false;
    QString error; // empty when the options are good

    bool narrows() const { return unique || sameSite || !match.isEmpty(); }
};

HarvestOptions parseOptions(const QStringList &arguments)
{
    HarvestOptions options;
    for (qsizetype i = 0; i < arguments.size() && options.error.isEmpty(); ++i) {
        const QString &argument = arguments.at(i);
        const bool hasValue = i + 1 < arguments.size();
        if (argument == u"--harvest"_s && hasValue)
            options.target = arguments.at(++i);
        else if (argument == u"--match"_s && hasValue)
            options.match = arguments.at(++i);
        else if (argument == u"--same-site"_s)
            options.sameSite = true;
        else if (argument == u"--unique"_s)
            options.unique = true;
        else if (argument == u"--harvest"_s || argument == u"--match"_s)
            options.error = argument + u" needs a value"_s;
        else
            options.error = u"unknown option: "_s + argument;
    }
    if (options.error.isEmpty() && options.sameSite && !startsWithHttp(options.target))
        options.error = u"--same-site needs a page address (http), not a file"_s;
    return options;
}

// The rows the options keep, in document order.
std::vector<UrlRow> narrowed(const std::vector<UrlRow> &rows, const HarvestOptions &options, const QString &page)
{
    HarvestFilter filter(rows, {}, page);
    filter.setMask(options.match, true);
    filter.setSameSiteOnly(options.sameSite);
    std::vector<UrlRow> kept;
    for (const UrlRow &row : options.unique ? filter.candidates() : rows) {
        if (filter.keeps(row))
            kept.push_back(row);
    }
    return kept;
}

} // namespace

int runHarvest(const QStringList &arguments, Browser &browser, int timeoutMs)
{
    const HarvestOptions options = parseOptions(arguments);
    if (!options.error.isEmpty()) {
        print(stderr, u"quillmoor: "_s + options.error + u"\n"_s);
        return 2;
    }
    if (!options.match.isEmpty()) {
        const QString error = HarvestFilter({}, {}, {}).setMask(options.match, true);
        if (!error.isEmpty()) {
            print(stderr, u"quillmoor: --match: "_s + error + u"\n"_s);
            return 2;
        }
    }
    const QString &addressOrFile = options.target;
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
    std::vector<UrlRow> rows = harvestRows(links);
    if (options.narrows())
        rows = narrowed(rows, options, browser.location());
    QString out;
    for (const UrlRow &row : rows)
        out += row.linkName() + u"->"_s + row.url() + u"\r\n"_s;
    print(stdout, out);
    print(stderr, u"quillmoor: "_s + QString::number(rows.size()) + u" links harvested of "_s
                      + QString::number(links.size()) + u"\n"_s);
    return 0;
}
