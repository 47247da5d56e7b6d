#pragma once

#include <QString>

#include <functional>

class DownloadSettings;

// The path a local-file address stands for: "file:///home/x" gives "/home/x" (any case of the
// scheme, percent escapes kept as written); any other text is returned as it is.
QString localFilePath(const QString &path);

// True when a file (not a folder) exists at the path. A path beginning with "file:///" (any
// case) is read as a local file address. Any error gives false.
bool localFileExists(const QString &path);

// The name with the characters a file name cannot hold removed, and "%20" decoded to a blank.
QString cleanFileName(const QString &name);

// The extension of the address's last segment, at most six characters, or a single blank " "
// when there is none.
QString urlExtension(const QString &address);

// The last path segment of the address without its extension; empty when the address ends in "/".
QString urlBaseName(const QString &address);

// Outcome of the save-name step for one row.
struct SaveName
{
    enum class Outcome { Start, Skip, Nothing };
    Outcome outcome = Outcome::Nothing;
    QString extension; // without dot
    QString url;       // the row's address, unchanged
    QString savePath;  // folder + base name + "." + extension
};

// The save-name step. Appends the separator to the in-memory save folder when it is missing.
// pathTaken tells whether another busy slot is writing a path right now: such a path counts as
// an existing file, so two slots never write the same file (with the overwrite rule such a row is
// skipped). A same-name rule other than skip and overwrite renames; when every rename up to
// "[32767]" is taken the row is skipped. Skip leaves the row's texts to the caller.
SaveName decideSaveName(DownloadSettings &settings, const QString &linkName, const QString &url,
                        const std::function<bool(const QString &)> &pathTaken = {});
