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
    result.extensionGuessed = result.extension.isEmpty();
    if (result.extension.isEmpty())
        result.extension = u"htm"_s;
    result.baseFromAddress = settings.nameMethod() != DownloadSettings::nameByLink();

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

QString contentDispositionFileName(const QByteArray &header)
{
    QString plain;
    QString extended;
    // Parameters split at semicolons outside quoted strings.
    qsizetype i = header.indexOf(';');
    while (i >= 0 && i < header.size()) {
        ++i;
        const qsizetype eq = header.indexOf('=', i);
        if (eq < 0)
            break;
        const QByteArray key = header.mid(i, eq - i).trimmed().toLower();
        QByteArray value;
        qsizetype j = eq + 1;
        while (j < header.size() && header[j] == ' ')
            ++j;
        if (j < header.size() && header[j] == '"') {
            for (++j; j < header.size() && header[j] != '"'; ++j) {
                if (header[j] == '\\' && j + 1 < header.size())
                    ++j;
                value += header[j];
            }
            i = header.indexOf(';', j);
        } else {
            i = header.indexOf(';', j);
            value = header.mid(j, (i < 0 ? header.size() : i) - j).trimmed();
        }
        if (key == "filename*") {
            // charset'language'percent-encoded
            const QList<QByteArray> parts = value.split('\'');
            if (parts.size() == 3) {
                const QByteArray bytes = QByteArray::fromPercentEncoding(parts[2]);
                extended = parts[0].toLower() == "utf-8" ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
            }
        } else if (key == "filename") {
            const QString utf8 = QString::fromUtf8(value);
            plain = utf8.contains(QChar::ReplacementCharacter) ? QString::fromLatin1(value) : utf8;
        }
    }
    const QString name = extended.isEmpty() ? plain : extended;
    return name.mid(std::max(name.lastIndexOf(u'/'), name.lastIndexOf(u'\\')) + 1);
}

QString extensionForContentType(const QByteArray &contentType)
{
    static const QHash<QByteArray, QString> known{
        {"application/pdf", u"pdf"_s},        {"application/zip", u"zip"_s},
        {"application/gzip", u"gz"_s},        {"application/x-gzip", u"gz"_s},
        {"application/x-tar", u"tar"_s},      {"application/x-7z-compressed", u"7z"_s},
        {"application/vnd.rar", u"rar"_s},    {"application/x-rar-compressed", u"rar"_s},
        {"application/json", u"json"_s},      {"application/msword", u"doc"_s},
        {"application/vnd.ms-excel", u"xls"_s},
        {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", u"docx"_s},
        {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", u"xlsx"_s},
        {"application/vnd.openxmlformats-officedocument.presentationml.presentation", u"pptx"_s},
        {"image/png", u"png"_s},              {"image/jpeg", u"jpg"_s},
        {"image/gif", u"gif"_s},              {"image/webp", u"webp"_s},
        {"image/svg+xml", u"svg"_s},          {"audio/mpeg", u"mp3"_s},
        {"video/mp4", u"mp4"_s},              {"video/webm", u"webm"_s},
        {"text/plain", u"txt"_s},             {"text/csv", u"csv"_s},
    };
    return known.value(contentType.split(';').first().trimmed().toLower());
}

SaveName serverSaveName(SaveName name, const QString &dispositionFileName, const QByteArray &contentType)
{
    const QString file = cleanFileName(dispositionFileName);
    const qsizetype dot = file.lastIndexOf(u'.');
    const QString fileBase = trimBlanks(dot > 0 ? file.left(dot) : file);
    const QString fileExtension = dot > 0 ? trimBlanks(file.mid(dot + 1)) : QString();
    if (name.baseFromAddress && !fileBase.isEmpty() && !onlyDots(fileBase)) {
        name.baseName = fileBase;
        if (!fileExtension.isEmpty())
            name.extension = fileExtension;
    } else if (name.extensionGuessed && !fileExtension.isEmpty()) {
        name.extension = fileExtension;
    }
    if (name.extensionGuessed && name.extension == u"htm"_s) {
        if (const QString typed = extensionForContentType(contentType); !typed.isEmpty())
            name.extension = typed;
    }
    name.savePath = composeSavePath(name.folder, name.baseName, 0, name.extension);
    return name;
}
