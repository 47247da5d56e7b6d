#include "BatchMode.h"

#include "CommandLine.h"

#include "engine/DownloadDriver.h"
#include "engine/DownloadSettings.h"
#include "engine/HttpDownloader.h"
#include "engine/ListStore.h"
#include "engine/RowTexts.h"
#include "engine/RunOverview.h"
#include "engine/UrlList.h"
#include "platform/AppIdentity.h"
#include "platform/QSettingsStore.h"
#include "platform/SavedCookies.h"
#include "platform/SettingsStore.h"
#include "urllist/ListFile.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSocketNotifier>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

void printErr(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

// Not flushed: rows that end together go out together (see BatchReport).
void printOut(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
}

// A list's texts as one field of a line: no control character reaches the terminal or splits
// a column.
QString printable(QString text)
{
    // The control characters (category Cc) are exactly these.
    const auto control = [](QChar c) { return c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f); };
    std::replace_if(text.begin(), text.end(), control, u' ');
    return text;
}

struct BatchOptions
{
    QString listFile;
    std::optional<QString> folder;
    std::optional<int> threads;
    std::optional<QString> nameMethod;
    std::optional<QString> collisionMethod;
    std::optional<QString> separator;
    std::optional<QString> mode;
    std::optional<int> retries;
    std::optional<int> speedLimitKBps;
    std::optional<QString> session;
};

// Parses the options after --batch; on failure returns the message to print.
std::optional<QString> parseOptions(const QStringList &args, BatchOptions &options)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        auto value = [&](QString *out) -> bool {
            if (i + 1 >= args.size())
                return false;
            *out = args[++i];
            return true;
        };
        QString v;
        if (arg == u"--batch"_s) {
            if (!value(&options.listFile))
                return u"--batch needs a list file"_s;
        } else if (arg == u"--dir"_s) {
            if (!value(&v) || v.isEmpty())
                return u"--dir needs a folder"_s;
            options.folder = v;
        } else if (arg == u"--threads"_s) {
            bool ok = false;
            const int n = value(&v) ? v.toInt(&ok) : 0;
            if (!ok || n < 1 || n > DownloadDriver::SlotCount)
                return u"--threads needs a number from 1 to %1"_s.arg(DownloadDriver::SlotCount);
            options.threads = n;
        } else if (arg == u"--retries"_s) {
            bool ok = false;
            const int n = value(&v) ? v.toInt(&ok) : -1;
            if (!ok || n < 0 || n > DownloadSettings::MaxRetryCount)
                return u"--retries needs a number from 0 to %1"_s.arg(DownloadSettings::MaxRetryCount);
            options.retries = n;
        } else if (arg == u"--limit-rate"_s) {
            options.speedLimitKBps = value(&v) ? parseSpeedLimitKBps(v) : std::nullopt;
            if (!options.speedLimitKBps)
                return u"--limit-rate needs KB/s (a k or m suffix allowed) from 0 to %1"_s.arg(DownloadSettings::MaxSpeedLimitKBps);
        } else if (arg == u"--name"_s) {
            if (!value(&v) || (v != u"link"_s && v != u"url"_s))
                return u"--name takes link or url"_s;
            options.nameMethod = v == u"link"_s ? DownloadSettings::nameByLink() : DownloadSettings::nameByUrl();
        } else if (arg == u"--same-name"_s) {
            if (!value(&v))
                return u"--same-name takes skip, overwrite or rename"_s;
            if (v == u"skip"_s)
                options.collisionMethod = DownloadSettings::collisionSkip();
            else if (v == u"overwrite"_s)
                options.collisionMethod = DownloadSettings::collisionOverwrite();
            else if (v == u"rename"_s)
                options.collisionMethod = DownloadSettings::collisionRename();
            else
                return u"--same-name takes skip, overwrite or rename"_s;
        } else if (arg == u"--separator"_s) {
            if (!value(&v) || v.isEmpty())
                return u"--separator needs a non-empty text"_s;
            options.separator = v;
        } else if (arg == u"--mode"_s) {
            if (!value(&v) || (v != u"fast"_s && v != u"page"_s))
                return u"--mode takes fast or page"_s;
            options.mode = v == u"fast"_s ? DownloadSettings::modeFast() : DownloadSettings::modePage();
        } else if (arg == u"--session"_s) {
            if (!value(&v) || v.isEmpty())
                return u"--session needs a file"_s;
            options.session = v;
        } else {
            return u"unknown option: "_s + arg;
        }
    }
    if (options.listFile.isEmpty())
        return u"--batch needs a list file"_s;
    return std::nullopt;
}

// Ctrl+C and SIGTERM end the run cleanly: transfers are abandoned and leave no partial file.
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

QString faultText(LineFault fault)
{
    switch (fault) {
    case LineFault::NoSeparator: return u"no separator"_s;
    case LineFault::NoLinkName: return u"no link name"_s;
    case LineFault::NotHttp: return u"not an http address"_s;
    }
    return {};
}

// "quillmoor: 7 lines of LIST are not rows: line 2 (no separator), ... and 2 more"
QString droppedLinesReport(const QString &listFile, const ListImport &imported)
{
    const bool one = imported.droppedLines == 1;
    QString text = u"quillmoor: "_s + QString::number(imported.droppedLines) + (one ? u" line of "_s : u" lines of "_s)
        + listFile + (one ? u" is not a row: "_s : u" are not rows: "_s);
    for (std::size_t i = 0; i < imported.firstDropped.size(); ++i) {
        const DroppedLine &line = imported.firstDropped[i];
        text += (i > 0 ? u", line "_s : u"line "_s) + QString::number(line.lineNumber) + u" ("_s
            + faultText(line.fault) + u')';
    }
    const qint64 more = imported.droppedLines - static_cast<qint64>(imported.firstDropped.size());
    if (more > 0)
        text += u" and "_s + QString::number(more) + u" more"_s;
    return text + u'\n';
}

} // namespace

QString batchUsage()
{
    return u"usage: quillmoor --batch LISTFILE [--dir FOLDER] [--threads N] [--name link|url]\n"
           "                 [--same-name skip|overwrite|rename] [--separator SEP] [--mode fast|page]\n"
           "                 [--retries N] [--limit-rate N[k|m]] [--session FILE]\n"
           "       quillmoor --harvest ADDRESS_OR_FILE [--match REGEX] [--same-site] [--unique]\n"
           "       quillmoor [LISTFILE | PAGE.htm | PAGE.html]...   (the window)\n"_s;
}

namespace {

// The user's settings are the defaults; options change them for this run only.
void applyOptions(const BatchOptions &options, DownloadSettings &settings)
{
    if (options.folder)
        settings.overrideSaveFolder(QDir::cleanPath(QFileInfo(*options.folder).absoluteFilePath()));
    if (options.threads)
        settings.overrideThreadCount(*options.threads);
    if (options.nameMethod)
        settings.overrideNameMethod(*options.nameMethod);
    if (options.collisionMethod)
        settings.overrideCollisionMethod(*options.collisionMethod);
    if (options.separator)
        settings.overrideSeparator(*options.separator);
    if (options.mode)
        settings.overrideDownloadMode(*options.mode);
    if (options.retries)
        settings.overrideRetryCount(*options.retries);
    if (options.speedLimitKBps)
        settings.overrideSpeedLimitKBps(*options.speedLimitKBps);
}

// Reads the list into the rows; false, after saying why, when there is nothing to run.
bool importList(const QString &listFile, const QString &separator, UrlList &list)
{
    const ListImport imported = QFileInfo(listFile).isFile() ? importListFile(listFile, list, separator) : ListImport{};
    if (!imported.read) {
        printErr(u"quillmoor: cannot read the list file "_s + listFile + u"\n"_s);
        return false;
    }
    if (imported.droppedLines > 0)
        printErr(droppedLinesReport(listFile, imported));
    if (imported.rows == 0) {
        printErr(u"quillmoor: the list file "_s + listFile + u" holds no row; a row is a line \"link name"_s + separator
                 + u"http address\"\n"_s);
        return false;
    }
    return true;
}

// What the run prints: each ended row on standard output (its reason, if it failed, on standard
// error), the progress every second and the summary on standard error.
class BatchReport
{
public:
    BatchReport(const UrlList &list, DownloadDriver &driver) : m_list(list)
    {
        QObject::connect(&driver, &DownloadDriver::rowEnded, &driver, [this](int position) { rowEnded(position); });
        QObject::connect(&driver, &DownloadDriver::bytesReceived, &driver, [this](qint64 bytes) { m_run.addBytes(bytes); });
        QObject::connect(&driver, &DownloadDriver::elapsedTextChanged, &driver, [this](const QString &elapsed) {
            printErr(elapsed + u"  "_s + QString::number(m_earlier + m_run.ended()) + u"/"_s
                     + QString::number(m_list.count()) + u"\n"_s);
        });
        m_clock.start();
        // The rows that ended in a round of the event loop go out together when it is done (the
        // dispatcher says so before the loop may wait again), not a write for each row.
        if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
            QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, &driver, [] { std::fflush(stdout); });
    }

    // Rows that ended saved or skipped in earlier runs of a session count as this run's.
    void countEarlierRuns()
    {
        for (int position = 1; position <= m_list.count(); ++position) {
            const RowState state = m_list.state(position);
            m_earlierFinished += state == RowState::Saved;
            m_earlierSkipped += state == RowState::Skipped;
        }
        m_earlier = m_earlierFinished + m_earlierSkipped;
    }

    // The exit status: 0 when every row ended without an error. The average speed counts the
    // bytes received in this run (not those kept by an earlier one), in thousands per second.
    int summarise(bool interrupted) const
    {
        const int finished = m_earlierFinished + m_run.done(), skipped = m_earlierSkipped + m_run.skipped();
        const int open = m_list.count() - finished - m_run.failed() - skipped;
        std::fflush(stdout);
        const qint64 elapsedMs = m_clock.elapsed();
        const double average = elapsedMs > 0 ? double(m_run.bytes()) / double(elapsedMs) : 0.0;
        printErr(u"quillmoor: "_s + QString::number(finished) + u" finished, "_s + QString::number(m_run.failed())
                 + u" failed, "_s + QString::number(skipped) + u" skipped"_s
                 + (open > 0 ? u", "_s + QString::number(open) + u" not done"_s : QString())
                 + (m_earlier > 0 ? u" ("_s + QString::number(m_earlier) + u" in earlier runs)"_s : QString())
                 + u", elapsed "_s
                 + QString::number(static_cast<double>(elapsedMs) / 1000.0, 'f', 2) + u" s"_s
                 + u", average "_s + RowTexts::formatOneDecimal(average) + u" KB/s"_s
                 + (interrupted ? u" (interrupted)"_s : QString()) + u"\n"_s);
        return m_run.failed() == 0 && open == 0 && !interrupted ? 0 : 1;
    }

private:
    void rowEnded(int position)
    {
        m_run.rowEnded(m_list.state(position));
        if (!m_list.hasRow(position))
            return;
        const QString name = printable(m_list.linkName(position));
        const QString url = printable(m_list.url(position));
        const QString reason = m_list.failureReason(position);
        if (!reason.isEmpty()) {
            std::fflush(stdout); // in order with the rows before, where both go to one place
            printErr(u"quillmoor: "_s + name + u": "_s + reason + u" ("_s + url + u")\n"_s);
        }
        printOut(name + u'\t' + url + u'\t' + m_list.statusText(position) + u'\t' + m_list.progressText(position)
                 + u'\t' + m_list.remarkText(position) + u'\n');
    }

    const UrlList &m_list;
    QElapsedTimer m_clock;
    RunOverview m_run; // this run's counts and bytes, fed by hand
    int m_earlierFinished = 0;
    int m_earlierSkipped = 0;
    int m_earlier = 0;
};

// Ctrl+C and SIGTERM end the run cleanly while this lives: downloads are abandoned and leave no
// partial file.
class InterruptWatch
{
public:
    explicit InterruptWatch(DownloadDriver &driver)
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, &driver, [this, &driver] {
            char byte = 0;
            [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
            m_interrupted = true;
            driver.stop();
            QCoreApplication::quit();
        });
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }
    ~InterruptWatch()
    {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
    }
    InterruptWatch(const InterruptWatch &) = delete;
    InterruptWatch &operator=(const InterruptWatch &) = delete;

    bool interrupted() const { return m_interrupted; }

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_interrupted = false;
};

bool sameRows(const UrlList &a, const UrlList &b)
{
    if (a.count() != b.count())
        return false;
    for (int position = 1; position <= a.count(); ++position) {
        if (a.linkName(position) != b.linkName(position) || a.url(position) != b.url(position))
            return false;
    }
    return true;
}

// --session: the run goes on with the session's rows and their states when they are the list
// file's rows (names and addresses, in order); otherwise the list file's rows replace them. False
// when the session file cannot be used: the run then goes on with the list file alone.
bool openSession(const QString &path, ListStore &store, UrlList &fileRows, UrlList &sessionRows)
{
    QObject::connect(&store, &ListStore::unusable, &store, [](const QString &reason) {
        printErr(u"quillmoor: cannot keep the session; the run goes on without it: "_s + reason + u"\n"_s);
    });
    if (!store.open(path))
        return false;
    if (!sameRows(fileRows, sessionRows)) {
        if (sessionRows.count() > 0)
            printErr(u"quillmoor: the session "_s + path + u" holds other rows than the list file; starting over "
                     "from the list file\n"_s);
        std::vector<UrlRow> rows;
        rows.reserve(std::size_t(fileRows.count()));
        for (int position = 1; position <= fileRows.count(); ++position)
            rows.emplace_back(fileRows.linkName(position), fileRows.url(position));
        sessionRows.clear();
        sessionRows.appendRows(rows);
    }
    fileRows.clear();
    return true;
}

} // namespace

int runBatch(const QStringList &arguments, const BatchServices &services)
{
    BatchOptions options;
    if (const auto error = parseOptions(arguments, options)) {
        printErr(u"quillmoor: "_s + *error + u"\n"_s + batchUsage());
        return 2;
    }
    if (!services.store || !services.downloaders) {
        printErr(u"quillmoor: the batch mode is not available in this build\n"_s);
        return 2;
    }
    DownloadSettings settings(*services.store);
    settings.load();
    applyOptions(options, settings);
    if (!settings.fastMode() && !services.pageBrowsers) {
        printErr(u"quillmoor: --mode page needs the build with the built-in browser\n"_s);
        return 2;
    }
    UrlList fileRows;
    if (!importList(options.listFile, settings.separator(), fileRows))
        return 2;
    UrlList sessionRows;
    ListStore session(sessionRows);
    const bool resumable = options.session && openSession(*options.session, session, fileRows, sessionRows);
    UrlList &list = resumable ? sessionRows : fileRows;

    DownloadDriver driver(list, settings);
    driver.setDownloaderFactory(services.downloaders);
    if (!settings.fastMode())
        driver.setPageBrowsers(services.pageBrowsers());
    BatchReport report(list, driver);
    if (resumable)
        report.countEarlierRuns();
    QObject::connect(&driver, &DownloadDriver::runEnded, QCoreApplication::instance(), &QCoreApplication::quit,
                     Qt::QueuedConnection);
    bool refused = false;
    QObject::connect(&driver, &DownloadDriver::runRefused, &driver, [&refused](const QString &reason) {
        printErr(u"quillmoor: "_s + reason + u"\n"_s);
        refused = true;
    });
    InterruptWatch interrupt(driver);
    driver.start(resumable ? DownloadDriver::StartFrom::Unfinished : DownloadDriver::StartFrom::Everything);
    if (refused)
        return 2;
    if (driver.isRunning())
        QCoreApplication::exec();
    session.flush();
    return report.summarise(interrupt.interrupted());
}

int printUsage()
{
    printOut(batchUsage());
    return 0;
}

int runFastBatch(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    AppIdentity::apply();
    QSettingsStore store;
    SavedCookieJar cookies(SavedCookies::read(SavedCookies::defaultPath()));
    BatchServices services;
    services.store = &store;
    services.downloaders =
        HttpDownloader::factory(&cookies, SavedCookies::readUserAgent(SavedCookies::userAgentPath()));
    return runBatch(CommandLine::programArguments(), services);
}
