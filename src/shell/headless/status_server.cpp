#include "shell/headless/status_server.h"

#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cstdlib>

#include "app/status_report.h"

bool StatusServer::listen(const QHostAddress& host, quint16 port, std::string& problem) {
    if (!server_.listen(host, port)) {
        problem = server_.errorString().toStdString();
        return false;
    }
    server_.setMaxPendingConnections(kMaxWaiting);
    connect(&server_, &QTcpServer::newConnection, this, [this] { accept_connections(); });
    return true;
}

std::string StatusServer::url() const {
    QHostAddress host = server_.serverAddress();
    QString name = host.protocol() == QAbstractSocket::IPv6Protocol ? "[" + host.toString() + "]"
                                                                    : host.toString();
    return "http://" + name.toStdString() + ":" + std::to_string(server_.serverPort()) + "/";
}

void StatusServer::accept_connections() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        if (static_cast<int>(waiting_.size()) >= kMaxWaiting) {
            QTcpSocket* oldest = waiting_.front();
            forget(oldest);
            oldest->abort();
            oldest->deleteLater();
        }
        waiting_.push_back(socket);
        socket->setReadBufferSize(STATUS_REQUEST_MAX + 1);  // a longer head is refused anyway
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read_request(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, socket] { forget(socket); });
        QTimer::singleShot(kConnectionDeadlineMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        // Whatever came with the connection already is read at once.
        if (socket->bytesAvailable() > 0) read_request(socket);
    }
}

void StatusServer::read_request(QTcpSocket* socket) {
    if (std::find(waiting_.begin(), waiting_.end(), socket) == waiting_.end()) {
        socket->readAll();  // answered already: whatever follows is ignored
        return;
    }
    // The head stays in the socket's buffer until it is complete.
    QByteArray head = socket->peek(STATUS_REQUEST_MAX + 1);
    // The blank line that ends the head; a hand-typed request may end its lines with "\n" alone.
    qsizetype end = head.indexOf("\r\n\r\n"), blank = 4;
    qsizetype bare = head.indexOf("\n\n");
    if (bare >= 0 && (end < 0 || bare < end)) end = bare, blank = 2;
    std::string reply;
    if (end >= 0 && end + blank <= STATUS_REQUEST_MAX)
        reply = status_http_reply(ctx_, head.left(end + blank).toStdString());
    else if (head.size() > STATUS_REQUEST_MAX)
        reply = status_too_large_reply();
    else
        return;  // more to come, within the deadline
    forget(socket);
    socket->readAll();
    socket->write(reply.data(), static_cast<qint64>(reply.size()));
    socket->disconnectFromHost();  // once the reply is written
}

void StatusServer::forget(QTcpSocket* socket) { waiting_.remove(socket); }
