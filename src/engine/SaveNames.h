#pragma once

#include <QHash>
#include <QString>

#include <functional>

class DownloadSettings;

// The path a local-file address stands for: "file:///home/x" gives "/home/x" (any case of the
// scheme, percent escapes kept as written); any other text is returned as it is.
QString localFilePath(const QString &path);

// True when a file (not a folder) exists at the path. A path beginning with "file:///" (any
// case) is read as a local file address. Any error gives false.
bool localFileExists(const QString &path);

// The name with the characters a file name cannot hold removed, and "%20" decoded to a blank:
// path separators and the characters Windows refuses, every control character (a tab becomes a
// blank, so that a name never splits a column of the batch output).
QString cleanFileName(const QString &name);

// The address without query and fragment: the part a file name is taken from.
QString addressPath(const QString &address);

// The extension of the address's last path segment (query and fragment left out), at most six
// characters, or a single blank " " when there is none.
QString urlExtension(const QString &address);

// The last path segment of the address without its extension; empty when the path ends in "/".
QString urlBaseName(const QString &address);

// The longest a file name may be on Linux file systems, in bytes.
constexpr int MaxFileNameBytes = 255;

// For one run: the next rename counter worth trying for each name, so that many rows with one
// name cost no more than rows with distinct names.
using RenameCounters = QHash<QString, int>;

// Outcome of the save-name step for one row.
struct SaveName
{
    enum class Outcome { Start, Skip, Wait, Nothing };
    Outcome outcome = Outcome::Nothing;
    QString extension; // without dot
    QString url;       // the row's address, unchanged
    QString savePath;  // folder + base name + "." + extension
    QString folder;    // with its trailing separator
    QString baseName;  // before any rename counter
    bool extensionGuessed = false; // the address has none: "htm" stands in until the server says
    bool baseFromAddress = false;  // the URL-name rule made the base name
};

// The file name a Content-Disposition header gives (filename*, UTF-8 or Latin-1, before
// filename), its last path segment only; empty when it gives none.
QString contentDispositionFileName(const QByteArray &header);
// The extension of a common media type (application/pdf gives "pdf"); empty for others.
QString extensionForContentType(const QByteArray &contentType);
// The name once the server has answered: under the URL-name rule the Content-Disposition file
// name wins over the address's; an address without extension takes the one of that file name or,
// failing that, of the Content-Type. The path is composed anew; the same-name rule is the caller's.
SaveName serverSaveName(SaveName name, const QString &dispositionFileName, const QByteArray &contentType);

// folder + base + "[k]" (k > 0) + "." + extension, the base shortened on a character boundary
// so that the file name fits in MaxFileNameBytes.
QString composeSavePath(const QString &folder, const QString &base, int k, const QString &extension);

// The first "base[k].ext" of the name, from the remembered counter on, that is neither a file
// nor taken; empty when every counter up to 32767 is. Remembers the next counter to try.
QString nextFreeName(const SaveName &name, const std::function<bool(const QString &)> &pathTaken,
                     RenameCounters *counters);

// The save-name step. Appends the separator to the in-memory save folder when it is missing.
// pathTaken tells whether another busy slot is writing a path right now: such a path counts as
// an existing file, so two slots never write the same file; with the overwrite rule such a row
// waits until the other slot is done. A same-name rule other than skip and overwrite renames;
// when every rename up to "[32767]" is taken the row is skipped. Skip leaves the row's texts to
// the caller.
SaveName decideSaveName(DownloadSettings &settings, const QString &linkName, const QString &url,
                        const std::function<bool(const QString &)> &pathTaken = {},
                        RenameCounters *counters = nullptr);
