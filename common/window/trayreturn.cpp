#include "common/window/trayreturn.h"

#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>

namespace velto {

namespace {

constexpr char kAsk[] = "show\n";
constexpr char kShown[] = "shown\n";

QString SocketName(const QString& name) {
    return name + QStringLiteral("-tray-") + QString::number(::getuid());
}

}  // namespace

TrayReturn::TrayReturn(const QString& name, QObject* parent)
    : QObject(parent), socketName_(SocketName(name)) {}

TrayReturn::~TrayReturn() {
    SetListening(false);
}

bool TrayReturn::listening() const {
    return server_ != nullptr;
}

void TrayReturn::SetListening(bool on) {
    if (!on) {
        if (server_ != nullptr) {
            // Later: this may be called from within the server's own answer.
            server_->close();
            server_->deleteLater();
            server_ = nullptr;
        }
        return;
    }
    if (server_ != nullptr) {
        return;
    }
    server_ = new QLocalServer(this);
    // The user's own: no one else may bring the window up or learn that it is there.
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket left by a program that was killed while hidden is no one's any more.
    QLocalServer::removeServer(socketName_);
    if (!server_->listen(socketName_)) {
        delete server_;
        server_ = nullptr;
        return;  // the window stays in the tray, where the mouse still reaches it
    }
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (server_ != nullptr && server_->hasPendingConnections()) {
            QLocalSocket* asker = server_->nextPendingConnection();
            connect(asker, &QLocalSocket::disconnected, asker, &QObject::deleteLater);
            connect(asker, &QLocalSocket::readyRead, this, [this, asker] {
                if (!asker->canReadLine()) {
                    return;
                }
                const bool asked = asker->readLine() == kAsk;
                if (asked) {
                    asker->write(kShown);
                    asker->flush();
                }
                asker->disconnectFromServer();
                if (asked) {
                    // After the answer is on its way: the window shown stops listening, which
                    // ends this server and its sockets.
                    QMetaObject::invokeMethod(this, &TrayReturn::showRequested,
                                              Qt::QueuedConnection);
                }
            });
        }
    });
}

bool TrayReturn::AskToShow(const QString& name, int waitMs) {
    QLocalSocket socket;
    socket.connectToServer(SocketName(name));
    if (!socket.waitForConnected(waitMs)) {
        return false;
    }
    socket.write(kAsk);
    if (!socket.waitForBytesWritten(waitMs)) {
        return false;
    }
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(waitMs)) {
            return false;
        }
    }
    return socket.readLine() == kShown;
}

}  // namespace velto
