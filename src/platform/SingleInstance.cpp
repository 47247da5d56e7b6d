#include "platform/SingleInstance.h"

#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>

#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr QDataStream::Version streamVersion = QDataStream::Qt_6_4;
constexpr char receipt = '\x01';
// A hand-over is a list of paths; anything larger is not one of ours.
constexpr qint64 largestMessage = 16 * 1024 * 1024;

} // namespace

SingleInstance::SingleInstance(QString serverName, QObject *parent)
    : QObject(parent), m_serverName(std::move(serverName))
{
    // No access options: with them Qt binds elsewhere and renames the socket into place, which
    // would take the name from a live window. Without, a second listen fails on the name, and the
    // user-only runtime folder (or the umask in the temporary folder) keeps others out.
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
}

QString SingleInstance::serverNameForUser()
{
    const QString name = u"quillmoor-window-%1"_s.arg(getuid());
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtimeDir.isEmpty() || !QFileInfo(runtimeDir).isDir())
        return name; // Qt puts it in the temporary folder
    return QDir(runtimeDir).filePath(name);
}

bool SingleInstance::handOver(const QStringList &files, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(m_serverName);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    QByteArray message;
    QDataStream out(&message, QIODevice::WriteOnly);
    out.setVersion(streamVersion);
    out << files;
    socket.write(message);
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(int(deadline.remainingTime()))) {
    }
    while (socket.bytesAvailable() == 0 && socket.waitForReadyRead(int(deadline.remainingTime()))) {
    }
    char answer = 0;
    return socket.getChar(&answer) && answer == receipt;
}

bool SingleInstance::listen()
{
    if (m_server.listen(m_serverName))
        return true;
    if (m_server.serverError() != QAbstractSocket::AddressInUseError)
        return false;
    // Someone answers on the name: a window holds it. No one: a crashed window left it behind.
    QLocalSocket probe;
    probe.connectToServer(m_serverName);
    if (probe.waitForConnected(1000))
        return false;
    QLocalServer::removeServer(m_serverName);
    return m_server.listen(m_serverName);
}

void SingleInstance::onNewConnection()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            QDataStream in(socket);
            in.setVersion(streamVersion);
            in.startTransaction();
            QStringList files;
            in >> files;
            if (in.status() == QDataStream::ReadCorruptData) {
                socket->abort();
                return;
            }
            if (!in.commitTransaction()) {
                if (socket->bytesAvailable() > largestMessage)
                    socket->abort();
                return;
            }
            // The receipt goes first: what the window does with the files may take a while.
            socket->write(&receipt, 1);
            socket->flush();
            socket->disconnectFromServer();
            emit filesReceived(files);
        });
    }
}
