#include "app/SingleInstance.h"

#include <QLocalServer>
#include <QLocalSocket>

namespace {
constexpr int kConnectTimeoutMs = 500;
const QByteArray kActivate = "activate\n";

// The time after "activate ", 0 when there is none.
quint32 launchTimeIn(const QByteArray& request)
{
    const QList<QByteArray> words = request.trimmed().split(' ');
    bool ok = false;
    const quint32 time = words.size() == 2 ? words[1].toUInt(&ok) : 0;
    return ok ? time : 0;
}
} // namespace

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), m_name(std::move(name)) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::claim(quint32 launchTime)
{
    QLocalSocket probe;
    probe.connectToServer(m_name);
    if (probe.waitForConnected(kConnectTimeoutMs)) {
        // "activate <time>": a running instance that reads only the first word still comes forward.
        probe.write(launchTime ? kActivate.trimmed() + ' ' + QByteArray::number(launchTime) + '\n'
                               : kActivate);
        probe.waitForBytesWritten(kConnectTimeoutMs);
        probe.disconnectFromServer();
        return false;
    }
    // Nobody answered: a socket file left by a crashed run is stale and goes.
    QLocalServer::removeServer(m_name);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_name))
        return true; // run anyway; only the second-launch shortcut is lost
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                const QByteArray request = socket->readAll();
                if (request.startsWith(kActivate.trimmed()))
                    Q_EMIT activationRequested(launchTimeIn(request));
                socket->disconnectFromServer();
            });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    return true;
}
