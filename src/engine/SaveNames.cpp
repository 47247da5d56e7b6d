#include "engine/SaveNames.h"

#include "engine/DownloadSettings.h"

#include <QFileInfo>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int RenameLimit = 32767;

qsizetype lastSeparator(QStringView text)
{
    return std::max(text.lastIndexOf(u'/'), text.lastIndexOf(u'\\'));
}

// A base name made of dots alone would give a hidden "..ext" file nobody finds.
bool onlyDots(const QString &name)
{
    for (const QChar c : name) {
        if (c != u'.')
            return false;
    }
    return true;
}

} // namespace

QString localFilePath(const QString &path)
{
    // "file:///home/x" is the local path "/home/x"; percent escapes are taken literally.
    if (path.startsWith(u"file:///"_s, Qt::CaseInsensitive))
        return path.mid(7);
    return path;
}

bool localFileExists(const QString &path)
{
    const QString local = localFilePath(path);
    if (local.isEmpty() || local.contains(QChar(0)))
        return false;
    const QFileInfo info(local);
    // A dangling link is still an entry of that name: writing there would replace it.
    if (info.isSymLink())
        return !info.isDir();
    return info.exists() && !info.isDir();
}

QString cleanFileName(const QString &name)
{
    QString s = trimBlanks(name);
    s.replace(u'\t', u' ');
    static const QChar removed[] = {u'\\', u'/', u':', u'*', u'?', u'"', u'<', u'>', u'|'};
    for (const QChar c : removed)
        s.remove(c);
    s.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
    s.replace(u"%20"_s, u" "_s);
    return s;
}

QString addressPath(const QString &address)
{
    const auto end = std::find_if(address.begin(), address.end(), [](QChar c) { return c == u'?' || c == u'#'; });
    return address.left(end - address.begin());
}

QString urlExtension(const QString &address)
{
    const QString fail = u" "_s;
    const QString path = addressPath(address);
    QString t;
    const qsizetype slash = lastSeparator(path);
    if (slash >= 0) {
        t = trimBlanks(QStringView(path).mid(slash + 1)).toString();
        if (t.isEmpty())
            return fail;
    } else {
        t = path;
    }
    const qsizetype dot = t.lastIndexOf(u'.');
    if (dot < 0)
        return fail;
    const QString u = trimBlanks(QStringView(t).mid(dot + 1)).toString();
    if (u.isEmpty() || u.size() > 6)
        return fail;
    return u;
}

QString urlBaseName(const QString &address)
{
    const QString path = addressPath(address);
    const qsizetype slash = lastSeparator(path);
    if (slash < 0)
        return trimBlanks(path);
    QStringView s = QStringView(path).mid(slash + 1);
    const qsizetype dot = s.lastIndexOf(u'.');
    if (dot >= 0)
        s = s.left(dot);
    return trimBlanks(s).toString();
}

QString composeSavePath(const QString &folder, const QString &base, int k, const QString &extension)
{
    const QString tail = (k > 0 ? u"["_s + QString::number(k) + u"]"_s : QString()) + u"."_s + extension;
    qsizetype budget = MaxFileNameBytes - tail.toUtf8().size();
    qsizetype keep = 0;
    while (keep < base.size()) {
        const qsizetype width = base[keep].isHighSurrogate() && keep + 1 < base.size() ? 2 : 1;
        const qsizetype bytes = QStringView(base).mid(keep, width).toUtf8().size();
        if (bytes > budget)
            break;
        budget -= bytes;
        keep += width;
    }
    return folder + base.left(keep) + tail;
}

QString nextFreeName(const SaveName &name, const std::function<bool(const QString &)> &pathTaken,
                     RenameCounters *counters)
{
    const QString key = name.folder + name.baseName + u"."_s + name.extension;
    for (int k = counters ? std::max(1, counters->value(key, 1)) : 1; k <= RenameLimit; ++k) {
        const QString path = composeSavePath(name.folder, name.baseName, k, name.extension);
        if ((pathTaken && pathTaken(path)) || localFileExists(path))
            continue;
        if (counters)
            counters->insert(key, k + 1);
        return path;
    }
    return {};
}

SaveName decideSaveName(DownloadSettings &settings, const QString &linkName, const QString &url,
                        const std::function<bool(const QString &)> &pathTaken, RenameCounters *counters)
{
    if (!settings.saveFolder().endsWith(u'/'))
        settings.appendSeparatorToSaveFolderInMemory();

    SaveName result;
    result.url = url;
    result.extension = trimBlanks(urlExtension(url));
    if (result.extension.isEmpty())
        result.extension = u"htm"_s;

    QString base = settings.nameMethod() == DownloadSettings::nameByLink() ? cleanFileName(linkName)
                                                                            : cleanFileName(urlBaseName(url));
    if (base.isEmpty() || onlyDots(base))
        base = u"临时文件名"_s;
    result.baseName = base;
    result.folder = settings.saveFolder();
    result.savePath = composeSavePath(result.folder, base, 0, result.extension);

    const bool taken = pathTaken && pathTaken(result.savePath);
    const QString &method = settings.collisionMethod();
    // Overwriting needs no look at the disk: the file is replaced whether it exists or not.
    const bool overwrite = method == DownloadSettings::collisionOverwrite();
    if (!taken && (overwrite || !localFileExists(result.savePath))) {
        result.outcome = SaveName::Outcome::Start;
    } else if (method == DownloadSettings::collisionSkip()) {
        result.outcome = SaveName::Outcome::Skip;
    } else if (overwrite) {
        // Another slot is writing this very file: this row overwrites it once that one is done,
        // as it would with one slot.
        result.outcome = taken ? SaveName::Outcome::Wait : SaveName::Outcome::Start;
    } else {
        // "自动重命名", and any unknown rule alike. Every name up to [32767] taken: give the row
        // up rather than overwrite.
        const QString renamed = nextFreeName(result, pathTaken, counters);
        result.outcome = renamed.isEmpty() ? SaveName::Outcome::Skip : SaveName::Outcome::Start;
        if (!renamed.isEmpty())
            result.savePath = renamed;
    }
    return result;
}
