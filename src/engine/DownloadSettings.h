#pragma once

#include <QString>

#include <optional>

class SettingsStore;

// The download settings, loaded once at start-up and written to the store key by key the
// moment a change is accepted. Choice settings hold the exact caption of the chosen option.
class DownloadSettings
{
public:
    // The download slots there are: the most threads a run may use.
    static constexpr int MaxThreadCount = 10;
    // Retries of a download that failed for a passing reason.
    static constexpr int DefaultRetryCount = 3;
    static constexpr int MaxRetryCount = 10;
    // The whole run's download speed limit in KB/s (1 KB = 1024 bytes), 0 for none.
    static constexpr int MaxSpeedLimitKBps = 1024 * 1024;

    // Store keys, exactly as stored (two of them end in a blank).
    static QString keyInterval();        // "定时下载时间间隔"
    static QString keyNameMethod();      // "保存文件名称方法"
    static QString keyCollisionMethod(); // "相同文件名处理方法 "
    static QString keySeparator();       // "连接符"
    static QString keyThreadCount();     // "下载线程数"
    static QString keySaveFolder();      // "保存路径 "
    static QString keyDownloadMode();    // "下载方式"
    static QString keyLoginUrl();        // "登陆网址"
    static QString keyRetryCount();      // "失败重试次数"
    static QString keySpeedLimit();      // "下载限速"
    static QString keyFilterHarvest();   // "采集时筛选链接": "1" or "0"

    // Option captions, which are also the stored values.
    static QString nameByLink();         // "链接名称"
    static QString nameByUrl();          // "原文件名"
    static QString collisionSkip();      // "跳过"
    static QString collisionOverwrite(); // "覆盖"
    static QString collisionRename();    // "自动重命名"
    static QString modeFast();           // "快速下载"
    static QString modePage();           // "模拟网页下载(仅用于网页格式的文件！)"

    static QString defaultLoginUrl();
    // The user's download folder, without a trailing separator.
    static QString defaultSaveFolder();

    explicit DownloadSettings(SettingsStore &store);

    // Reads the eight keys in order, with their defaults. A stored name rule other than
    // "链接名称" becomes "原文件名", a stored mode other than "快速下载" becomes the page mode,
    // and a same-name rule other than the three captions becomes "自动重命名", in memory and
    // store alike. A stored interval or thread count that is not a number falls back to its
    // default; one out of range is clamped into it. Then the retry count and the speed limit,
    // the same way.
    void load();

    int intervalMinutes() const { return m_intervalMinutes; }
    const QString &nameMethod() const { return m_nameMethod; }
    const QString &collisionMethod() const { return m_collisionMethod; }
    const QString &separator() const { return m_separator; }
    // Always within 1..10.
    int threadCount() const { return m_threadCount; }
    const QString &saveFolder() const { return m_saveFolder; }
    const QString &downloadMode() const { return m_downloadMode; }
    const QString &loginUrl() const { return m_loginUrl; }
    bool fastMode() const { return m_downloadMode == modeFast(); }
    // Always within 0..MaxRetryCount; 0 turns retrying off.
    int retryCount() const { return m_retryCount; }
    // Always within 0..MaxSpeedLimitKBps; 0 is no limit.
    int speedLimitKBps() const { return m_speedLimitKBps; }
    // Harvested links are shown for filtering before they are added (else added as found).
    bool filterHarvest() const { return m_filterHarvest; }

    // Accepted changes: each updates the field and the store together.
    void setIntervalMinutes(int minutes);
    void setNameMethod(const QString &caption);
    void setCollisionMethod(const QString &caption);
    void setSeparator(const QString &separator);
    void setThreadCount(int count);
    void setSaveFolder(const QString &folder);
    void setDownloadMode(const QString &caption);
    void setLoginUrl(const QString &url);
    void setRetryCount(int count);
    void setSpeedLimitKBps(int kbps);
    void setFilterHarvest(bool on);

    // The save-name step appends the separator to the folder in memory only (not stored).
    void appendSeparatorToSaveFolderInMemory();

    // Overrides for one run (batch mode): memory only, the store is not touched.
    void overrideSaveFolder(const QString &folder) { m_saveFolder = folder; }
    void overrideThreadCount(int count);
    void overrideNameMethod(const QString &caption) { m_nameMethod = caption; }
    void overrideCollisionMethod(const QString &caption) { m_collisionMethod = caption; }
    void overrideSeparator(const QString &separator) { m_separator = separator; }
    void overrideDownloadMode(const QString &caption) { m_downloadMode = caption; }
    void overrideRetryCount(int count);
    void overrideSpeedLimitKBps(int kbps);

    SettingsStore &store() { return m_store; }

private:
    SettingsStore &m_store;
    int m_intervalMinutes = 60;
    QString m_nameMethod;
    QString m_collisionMethod;
    QString m_separator;
    int m_threadCount = 5;
    QString m_saveFolder;
    QString m_downloadMode;
    QString m_loginUrl;
    int m_retryCount = DefaultRetryCount;
    int m_speedLimitKBps = 0;
    bool m_filterHarvest = true;
};

// The checks of the four text boxes of the settings tab. Each returns the accepted value, or
// the exact message to show.
template <typename T>
struct SettingCheck
{
    std::optional<T> value;
    QString message; // empty when accepted
    bool accepted() const { return value.has_value(); }
};

SettingCheck<QString> checkSeparator(const QString &text);      // "不能为空!"
SettingCheck<int> checkIntervalMinutes(const QString &text);    // "必须填入大于1,小于1440的数字！"
SettingCheck<int> checkThreadCount(const QString &text);        // "必须填入大于0,小于11的数字！"
SettingCheck<QString> checkLoginUrl(const QString &text);       // "登陆网址格式错误!"

// A speed limit as written on the command line: KB/s, or with a k (KB/s) or m (MB/s) suffix;
// nothing when it is not a whole number within 0..MaxSpeedLimitKBps KB/s.
std::optional<int> parseSpeedLimitKBps(const QString &text);

// The lenient number test: blanks around, a sign and a decimal point are accepted; the value
// is the nearest whole number. Empty or junk text gives nothing.
std::optional<double> lenientNumber(const QString &text);
// The same test, giving the value as written (the range checks compare this one).
std::optional<double> lenientValue(const QString &text);

// Appends the platform separator "/" unless the text already ends with it.
QString withTrailingSeparator(const QString &path);

// The "http" rule: the first four characters, lower-cased, are "http".
bool startsWithHttp(const QString &text);

// The text without leading and trailing space characters (U+0020 only; tabs stay).
QString trimBlanks(const QString &text);
QStringView trimBlanks(QStringView text);
