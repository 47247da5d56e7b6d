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

    void writeList(const QByteArray &bytes) { TestFiles::write(listPath, bytes); }

    void start(const QStringList &extra, bool withList = true)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QDir home_(home.path());
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), home_.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), home_.filePath(QStringLiteral("cache")));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
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
};
