#include "engine/DownloadSettings.h"

#include "platform/SettingsStore.h"

#include <QDir>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>
#include <charconv>
#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int MinInterval = 1;
constexpr int MaxInterval = 1440;
constexpr int DefaultInterval = 60;
constexpr int MinThreads = 1;
constexpr int MaxThreads = DownloadSettings::MaxThreadCount;
constexpr int DefaultThreads = 5;

// A stored number as the settings tab would show it: the nearest whole number clamped into
// [low, high]; text that is not a number gives the fallback.
int storedNumber(const QString &text, int fallback, int low, int high)
{
    const std::optional<double> value = lenientNumber(text);
    if (!value)
        return fallback;
    return static_cast<int>(std::clamp(*value, double(low), double(high)));
}

// Accepted when 0 < v <= high on the exact value and the nearest whole number is at least 1,
// so that ".5" threads (nearest whole number 0) is refused instead of storing 0.
std::optional<int> numberInRange(const QString &text, int high)
{
    const std::optional<double> exact = lenientValue(text);
    if (!exact || !(*exact > 0.0) || !(*exact <= double(high)))
        return std::nullopt;
    const double whole = std::nearbyint(*exact);
    if (whole < 1.0)
        return std::nullopt;
    return static_cast<int>(whole);
}

bool isBlank(QChar c) { return c.isSpace(); }

} // namespace

QString DownloadSettings::keyInterval() { return u"定时下载时间间隔"_s; }
QString DownloadSettings::keyNameMethod() { return u"保存文件名称方法"_s; }
QString DownloadSettings::keyCollisionMethod() { return u"相同文件名处理方法 "_s; }
QString DownloadSettings::keySeparator() { return u"连接符"_s; }
QString DownloadSettings::keyThreadCount() { return u"下载线程数"_s; }
QString DownloadSettings::keyRetryCount() { return u"失败重试次数"_s; }
QString DownloadSettings::keySpeedLimit() { return u"下载限速"_s; }
QString DownloadSettings::keyFilterHarvest() { return u"采集时筛选链接"_s; }
QString DownloadSettings::keySaveFolder() { return u"保存路径 "_s; }
QString DownloadSettings::keyDownloadMode() { return u"下载方式"_s; }
QString DownloadSettings::keyLoginUrl() { return u"登陆网址"_s; }

QString DownloadSettings::nameByLink() { return u"链接名称"_s; }
QString DownloadSettings::nameByUrl() { return u"原文件名"_s; }
QString DownloadSettings::collisionSkip() { return u"跳过"_s; }
QString DownloadSettings::collisionOverwrite() { return u"覆盖"_s; }
QString DownloadSettings::collisionRename() { return u"自动重命名"_s; }
QString DownloadSettings::modeFast() { return u"快速下载"_s; }
QString DownloadSettings::modePage() { return u"模拟网页下载(仅用于网页格式的文件！)"_s; }

QString DownloadSettings::defaultLoginUrl() { return u"http://localhost/"_s; }

QString DownloadSettings::defaultSaveFolder()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    // cleanPath drops a trailing separator but keeps the root "/" as it is.
    return QDir::cleanPath(folder);
}

DownloadSettings::DownloadSettings(SettingsStore &store)
    : m_store(store)
    , m_nameMethod(nameByLink())
    , m_collisionMethod(collisionRename())
    , m_separator(u"->"_s)
    , m_saveFolder(defaultSaveFolder())
    , m_downloadMode(modeFast())
    , m_loginUrl(defaultLoginUrl())
{
}

void DownloadSettings::load()
{
    // Corrected numbers are kept in memory only; the store changes only where a choice is
    // selected, as a click on that option would store it.
    m_intervalMinutes = storedNumber(m_store.value(keyInterval(), QString::number(DefaultInterval)),
                                     DefaultInterval, MinInterval, MaxInterval);

    m_nameMethod = m_store.value(keyNameMethod(), nameByLink());
    if (m_nameMethod != nameByLink())
        setNameMethod(nameByUrl());

    m_collisionMethod = m_store.value(keyCollisionMethod(), collisionRename());
    if (m_collisionMethod == collisionSkip() || m_collisionMethod == collisionOverwrite())
        setCollisionMethod(m_collisionMethod);
    else if (m_collisionMethod != collisionRename())
        setCollisionMethod(collisionRename()); // unknown text: what the rename option shows

    m_separator = m_store.value(keySeparator(), u"->"_s);

    m_threadCount = storedNumber(m_store.value(keyThreadCount(), QString::number(DefaultThreads)),
                                 DefaultThreads, MinThreads, MaxThreads);

    m_saveFolder = m_store.value(keySaveFolder(), defaultSaveFolder());
    // An empty folder would become the root folder once the separator is appended.
    if (m_saveFolder.trimmed().isEmpty())
        m_saveFolder = defaultSaveFolder();

    m_downloadMode = m_store.value(keyDownloadMode(), modeFast());
    if (m_downloadMode != modeFast())
        setDownloadMode(modePage());

    m_loginUrl = m_store.value(keyLoginUrl(), defaultLoginUrl());

    m_retryCount = storedNumber(m_store.value(keyRetryCount(), QString::number(DefaultRetryCount)),
                                DefaultRetryCount, 0, MaxRetryCount);

    m_speedLimitKBps = storedNumber(m_store.value(keySpeedLimit(), u"0"_s), 0, 0, MaxSpeedLimitKBps);
    m_filterHarvest = m_store.value(keyFilterHarvest(), u"1"_s) != u"0"_s;
}

void DownloadSettings::setSpeedLimitKBps(int kbps)
{
    m_speedLimitKBps = std::clamp(kbps, 0, MaxSpeedLimitKBps);
    m_store.setValue(keySpeedLimit(), QString::number(m_speedLimitKBps));
}

void DownloadSettings::overrideSpeedLimitKBps(int kbps) { m_speedLimitKBps = std::clamp(kbps, 0, MaxSpeedLimitKBps); }

std::optional<int> parseSpeedLimitKBps(const QString &text)
{
    QString number = text.trimmed().toLower();
    qint64 unit = 1;
    if (number.endsWith(u'm'))
        unit = 1024;
    if (number.endsWith(u'm') || number.endsWith(u'k'))
        number.chop(1);
    bool ok = false;
    const qint64 value = number.toLongLong(&ok);
    if (!ok || value < 0 || value > DownloadSettings::MaxSpeedLimitKBps / unit)
        return std::nullopt;
    return int(value * unit);
}

void DownloadSettings::setFilterHarvest(bool on)
{
    m_filterHarvest = on;
    m_store.setValue(keyFilterHarvest(), on ? u"1"_s : u"0"_s);
}

void DownloadSettings::setRetryCount(int count)
{
    m_retryCount = std::clamp(count, 0, MaxRetryCount);
    m_store.setValue(keyRetryCount(), QString::number(m_retryCount));
}

void DownloadSettings::overrideRetryCount(int count) { m_retryCount = std::clamp(count, 0, MaxRetryCount); }

void DownloadSettings::setIntervalMinutes(int minutes)
{
    m_intervalMinutes = std::clamp(minutes, MinInterval, MaxInterval);
    m_store.setValue(keyInterval(), QString::number(m_intervalMinutes));
}

void DownloadSettings::setNameMethod(const QString &caption)
{
    m_nameMethod = caption;
    m_store.setValue(keyNameMethod(), caption);
}

void DownloadSettings::setCollisionMethod(const QString &caption)
{
    m_collisionMethod = caption;
    m_store.setValue(keyCollisionMethod(), caption);
}

void DownloadSettings::setSeparator(const QString &separator)
{
    m_separator = separator;
    m_store.setValue(keySeparator(), separator);
}

void DownloadSettings::setThreadCount(int count)
{
    m_threadCount = std::clamp(count, MinThreads, MaxThreads);
    m_store.setValue(keyThreadCount(), QString::number(m_threadCount));
}

void DownloadSettings::setSaveFolder(const QString &folder)
{
    m_saveFolder = folder;
    m_store.setValue(keySaveFolder(), folder);
}

void DownloadSettings::setDownloadMode(const QString &caption)
{
    m_downloadMode = caption;
    m_store.setValue(keyDownloadMode(), caption);
}

void DownloadSettings::setLoginUrl(const QString &url)
{
    m_loginUrl = url;
    m_store.setValue(keyLoginUrl(), url);
}

void DownloadSettings::appendSeparatorToSaveFolderInMemory() { m_saveFolder = withTrailingSeparator(m_saveFolder); }

void DownloadSettings::overrideThreadCount(int count) { m_threadCount = std::clamp(count, MinThreads, MaxThreads); }

SettingCheck<QString> checkSeparator(const QString &text)
{
    if (text.isEmpty())
        return {std::nullopt, u"不能为空!"_s};
    return {text, {}};
}

SettingCheck<int> checkIntervalMinutes(const QString &text)
{
    if (const std::optional<int> minutes = numberInRange(text, MaxInterval))
        return {*minutes, {}};
    return {std::nullopt, u"必须填入大于1,小于1440的数字！"_s};
}

SettingCheck<int> checkThreadCount(const QString &text)
{
    if (const std::optional<int> count = numberInRange(text, MaxThreads))
        return {*count, {}};
    return {std::nullopt, u"必须填入大于0,小于11的数字！"_s};
}

SettingCheck<QString> checkLoginUrl(const QString &text)
{
    if (!startsWithHttp(text))
        return {std::nullopt, u"登陆网址格式错误!"_s};
    return {text, {}};
}

std::optional<double> lenientValue(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;

    // Grammar: [+|-] digits [. digits] | [+|-] . digits, ASCII digits only.
    QByteArray ascii;
    ascii.reserve(end - begin);
    qsizetype i = begin;
    if (i < end && (text.at(i) == u'+' || text.at(i) == u'-'))
        ascii.append(char(text.at(i++).unicode()));
    bool digits = false;
    bool point = false;
    for (; i < end; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c >= u'0' && c <= u'9') {
            digits = true;
        } else if (c == u'.' && !point) {
            point = true;
        } else {
            return std::nullopt;
        }
        ascii.append(char(c));
    }
    if (!digits)
        return std::nullopt;
    // from_chars reads "." as the point whatever the locale; it takes no "+" sign.
    const char *first = ascii.constData();
    const char *last = first + ascii.size();
    const bool negative = *first == '-';
    if (*first == '+' || *first == '-')
        ++first;
    double value = 0.0;
    const std::from_chars_result parsed = std::from_chars(first, last, value);
    if (parsed.ec == std::errc::result_out_of_range) {
        // Too many digits for a double: only the magnitude matters to the range checks.
        const bool overflow = std::any_of(first, std::find(first, last, '.'), [](char c) { return c != '0'; });
        value = overflow ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (parsed.ec != std::errc()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::optional<double> lenientNumber(const QString &text)
{
    const std::optional<double> value = lenientValue(text);
    if (!value)
        return std::nullopt;
    return std::nearbyint(*value); // the default rounding mode: halves to even
}

QString withTrailingSeparator(const QString &path)
{
    if (path.endsWith(u'/'))
        return path;
    return path + u'/';
}

bool startsWithHttp(const QString &text) { return text.left(4).toLower() == u"http"_s; }

QStringView trimBlanks(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == u' ')
        ++begin;
    while (end > begin && text[end - 1] == u' ')
        --end;
    return text.mid(begin, end - begin);
}

QString trimBlanks(const QString &text)
{
    const QStringView trimmed = trimBlanks(QStringView(text));
    return trimmed.size() == text.size() ? text : trimmed.toString();
}
