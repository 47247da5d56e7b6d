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
    static const QChar removed[] = {u'\\', u'/', u':', u'*', u'?', u'"', u'<', u'>', u'|', u'\n', u'\r', u'\t'};
    for (const QChar c : removed)
        s.remove(c);
    s.replace(u"%20"_s, u" "_s);
    return s;
}

QString urlExtension(const QString &address)
{
    const QString fail = u" "_s;
    QString t;
    const qsizetype slash = lastSeparator(address);
    if (slash >= 0) {
        t = trimBlanks(QStringView(address).mid(slash + 1)).toString();
        if (t.isEmpty())
            return fail;
    } else {
        t = address;
    }
    const qsizetype dot = t.lastIndexOf(u'.');
    if (dot < 0)
        return fail;
    QString u = trimBlanks(QStringView(t).mid(dot + 1)).toString();
    if (u.isEmpty())
        return fail;
    const qsizetype hash = u.lastIndexOf(u'#');
    if (hash >= 0)
        u = trimBlanks(QStringView(u).left(hash)).toString();
    if (u.size() <= 6)
        return u;
    return fail;
}

QString urlBaseName(const QString &address)
{
    const qsizetype slash = lastSeparator(address);
    if (slash < 0)
        return trimBlanks(address);
    QStringView s = QStringView(address).mid(slash + 1);
    const qsizetype dot = s.lastIndexOf(u'.');
    if (dot >= 0)
        s = s.left(dot);
    return trimBlanks(s).toString();
}

SaveName decideSaveName(DownloadSettings &settings, const QString &linkName, const QString &url,
                        const std::function<bool(const QString &)> &pathTaken)
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

    const QString &method = settings.collisionMethod();
    const QString folder = settings.saveFolder();
    for (int k = 0;; ++k) {
        if (k > 0) {
            if (k > RenameLimit) {
                // Every name up to [32767] is taken: give the row up rather than overwrite.
                result.outcome = SaveName::Outcome::Skip;
                return result;
            }
            if (k == 1)
                base += u"[1]"_s;
            else
                base.replace(u"["_s + QString::number(k - 1) + u"]"_s, u"["_s + QString::number(k) + u"]"_s);
        }
        result.savePath = folder + base + u"."_s + result.extension;

        const bool taken = pathTaken && pathTaken(result.savePath);
        if (!taken && !localFileExists(result.savePath)) {
            result.outcome = SaveName::Outcome::Start;
            return result;
        }
        if (method == DownloadSettings::collisionSkip()) {
            result.outcome = SaveName::Outcome::Skip;
            return result;
        }
        if (method == DownloadSettings::collisionOverwrite()) {
            // Another slot is writing this very file: two writers of one file would race, and
            // renaming would make the copies the user chose not to keep.
            result.outcome = taken ? SaveName::Outcome::Skip : SaveName::Outcome::Start;
            return result;
        }
        // "自动重命名", and any unknown rule alike.
    }
}
