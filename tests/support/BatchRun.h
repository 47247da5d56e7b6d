#pragma once

#include "support/TestFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// The program's batch mode run as a user's script would run it, with a settings store and
// folders of its own, while the test's event loop keeps serving HTTP.
struct BatchRun
{
    QTemporaryDir home;
    QTemporaryDir out;
    QProcess process;
    QString listPath = QDir(home.path()).filePath(QStringLiteral("list.txt"));
    QString timeZone; // TZ for the run, when set

    void writeList(const QByteArray &bytes) { TestFiles::write(listPath, bytes); }

    void start(const QStringList &extra, bool withList = true)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        for (const char *kind : {"CONFIG", "DATA", "CACHE"})
            env.insert(QStringLiteral("XDG_%1_HOME").arg(QLatin1String(kind)),
                       QDir(home.path()).filePath(QString::fromLatin1(kind).toLower()));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        if (!timeZone.isEmpty())
            env.insert(QStringLiteral("TZ"), timeZone);
        process.setProcessEnvironment(env);
        QStringList args;
        if (withList)
            args << QStringLiteral("--batch") << listPath << QStringLiteral("--dir") << out.path();
        process.start(QStringLiteral(QUILLMOOR_BINARY), args + extra);
    }

    bool finish(int timeoutMs = 60000)
    {
        QElapsedTimer timer;
        timer.start();
        while (process.state() != QProcess::NotRunning && timer.elapsed() < timeoutMs)
            QTest::qWait(20);
        return process.state() == QProcess::NotRunning;
    }

    QString outPath(const QString &name) const { return QDir(out.path()).filePath(name); }
    QStringList stdoutLines()
    {
        return QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
};
