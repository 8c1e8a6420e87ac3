#include "shell/headless/status_server.h"

#include <sys/resource.h>
#include <unistd.h>

#include <QTcpSocket>
#include <QTimer>
#include <algorithm>

namespace {

// A nice value for the endpoint's thread: under a flood of connections it
// gets a small share of a busy core, the station's ticks the rest.
constexpr int kEndpointNice = 10;
constexpr int kListenBacklog = 1024;

}  // namespace

bool StatusEndpoint::listen(const QHostAddress& host, quint16 port, std::string& problem) {
    // A full backlog drops new connections, which the client's system tries
    // again only a second later: room for a flood keeps a monitor's request in line.
    server_.setListenBacklogSize(kListenBacklog);
    if (!server_.listen(host, port)) {
        problem = server_.errorString().toStdString();
        return false;
    }
    server_.setMaxPendingConnections(kMaxWaiting);
    connect(&server_, &QTcpServer::newConnection, this, [this] { accept_connections(); });
    return true;
}

std::string StatusEndpoint::url() const {
    QHostAddress host = server_.serverAddress();
    QString name = host.protocol() == QAbstractSocket::IPv6Protocol ? "[" + host.toString() + "]"
                                                                    : host.toString();
    return "http://" + name.toStdString() + ":" + std::to_string(server_.serverPort()) + "/";
}

void StatusEndpoint::accept_connections() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        make_room();
        waiting_.push_back(socket);
        socket->setReadBufferSize(STATUS_REQUEST_MAX + 1);  // a longer head is refused anyway
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read_request(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, socket] { forget(socket); });
        QTimer::singleShot(kConnectionDeadlineMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        // A request that came with the connection is answered at once.
        read_now(socket);
    }
}

// What the system holds for `socket` is read now, not at the next turn
// of the loop; a complete request is answered (and leaves the list).
void StatusEndpoint::read_now(QTcpSocket* socket) {
    socket->waitForReadyRead(0);
}

// Under a flood the next turn brings new connections before the last
// turn's requests are read: a connection is dropped only when its request
// has not come, so that clients that ask are answered.
void StatusEndpoint::make_room() {
    while (static_cast<int>(waiting_.size()) >= kMaxWaiting) {
        QTcpSocket* oldest = waiting_.front();
        read_now(oldest);
        if (waiting_.empty() || waiting_.front() != oldest) continue;  // answered
        forget(oldest);
        oldest->abort();
        oldest->deleteLater();
    }
}

void StatusEndpoint::read_request(QTcpSocket* socket) {
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
        reply = status_http_reply(report_, head.left(end + blank).toStdString());
    else if (head.size() > STATUS_REQUEST_MAX)
        reply = status_too_large_reply();
    else
        return;  // more to come, within the deadline
    forget(socket);
    socket->readAll();
    socket->write(reply.data(), static_cast<qint64>(reply.size()));
    socket->disconnectFromHost();  // once the reply is written
}

void StatusEndpoint::forget(QTcpSocket* socket) { waiting_.remove(socket); }

StatusServer::StatusServer() : endpoint_(new StatusEndpoint) {
    endpoint_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, endpoint_, &QObject::deleteLater);
    QObject::connect(&thread_, &QThread::started, endpoint_, [] {
        // Linux: a thread's nice value is its own (setpriority on its id).
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kEndpointNice);
    });
    thread_.start();
}

StatusServer::~StatusServer() {
    thread_.quit();
    thread_.wait();
}

bool StatusServer::listen(const QHostAddress& host, quint16 port, std::string& problem) {
    bool listening = false;
    QMetaObject::invokeMethod(
        endpoint_,
        [&] {
            listening = endpoint_->listen(host, port, problem);
            if (listening) url_ = endpoint_->url();
        },
        Qt::BlockingQueuedConnection);
    return listening;
}

void StatusServer::publish(StatusReport report) {
    QMetaObject::invokeMethod(
        endpoint_, [endpoint = endpoint_, report = std::move(report)]() mutable {
            endpoint->take_report(std::move(report));
        },
        Qt::QueuedConnection);
}
