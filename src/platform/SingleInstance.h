#pragma once

#include <QLocalServer>
#include <QObject>
#include <QStringList>

// One window per user. The first window listens under a name private to its user; a later start
// hands its file arguments to that window over a local socket and ends. A name left behind by a
// window that crashed is taken over. The batch and harvest modes take no part.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    // A local socket name, or an absolute path for the socket file.
    explicit SingleInstance(QString serverName, QObject *parent = nullptr);

    // The program's name for the current user: in the user's runtime folder when there is one,
    // and carrying the user id either way.
    static QString serverNameForUser();

    // Gives the files (possibly none) to the window that holds the name and waits for its
    // receipt. False when no window took them within the time.
    bool handOver(const QStringList &files, int timeoutMs = 5000);
    // Takes the name, so that later starts hand over to this instance. False when a live window
    // holds it, or when the name cannot be used.
    bool listen();

signals:
    // A later start handed these files over; it also asks for the window to be brought up.
    void filesReceived(const QStringList &files);

private:
    void onNewConnection();

    QString m_serverName;
    QLocalServer m_server;
};
