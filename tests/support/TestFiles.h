#pragma once

#include "engine/UrlList.h"

#include <QDir>
#include <QFile>
#include <QStringList>

// Files and lists as the suites compare them.
namespace TestFiles {

// The file's bytes; "<missing>" when it cannot be read.
inline QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArrayLiteral("<missing>");
}

inline bool write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Every entry of the folder, hidden ones too, sorted.
inline QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// The list's rows as "name=address".
inline QStringList rows(const UrlList &list)
{
    QStringList found;
    for (int position = 1; position <= list.count(); ++position)
        found.append(list.linkName(position) + u'=' + list.url(position));
    return found;
}

} // namespace TestFiles
