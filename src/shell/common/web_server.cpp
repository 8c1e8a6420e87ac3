#include "shell/common/web_server.h"

#include <sys/socket.h>

#include <QBuffer>
#include <QImage>
#include <QTcpSocket>
#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "stream/web_pages.h"

WebEndpoint::WebEndpoint(std::shared_ptr<WebStreamFeed> feed) : feed_(std::move(feed)) {
    connect(&keep_alive_, &QTimer::timeout, this, [this] { keep_events_alive(); });
}

bool WebEndpoint::listen(const QHostAddress& host, quint16 port, std::string& problem) {
    if (!server_.listen(host, port)) {
        problem = server_.errorString().toStdString();
        return false;
    }
    connect(&server_, &QTcpServer::newConnection, this, [this] { accept_connections(); });
    keep_alive_.start(kEventsKeepAliveMs);
    return true;
}

std::string WebEndpoint::url() const {
    return "http://" + server_.serverAddress().toString().toStdString() + ":" +
           std::to_string(server_.serverPort()) + "/";
}

void WebEndpoint::accept_connections() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        // The oldest connection still without a request makes room.
        if (static_cast<int>(waiting_.size()) >= kMaxWaiting) {
            QTcpSocket* oldest = waiting_.front();
            forget(oldest);
            oldest->abort();
            oldest->deleteLater();
        }
        waiting_.push_back(socket);
        socket->setReadBufferSize(WEB_REQUEST_MAX + 1);
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, WEB_SEND_BUFFER);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read_request(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, socket] { forget(socket); });
        QTimer::singleShot(kRequestDeadlineMs, socket, [this, socket] {
            if (std::find(waiting_.begin(), waiting_.end(), socket) == waiting_.end()) return;
            forget(socket);
            socket->abort();
            socket->deleteLater();
        });
        socket->waitForReadyRead(0);
    }
}

void WebEndpoint::read_request(QTcpSocket* socket) {
    if (std::find(waiting_.begin(), waiting_.end(), socket) == waiting_.end()) {
        socket->readAll();  // a listener's further bytes are ignored
        return;
    }
    QByteArray head = socket->peek(WEB_REQUEST_MAX + 1);
    qsizetype end = head.indexOf("\r\n\r\n");
    if (end < 0) end = head.indexOf("\n\n");
    if (end < 0 && head.size() <= WEB_REQUEST_MAX) return;  // more to come, within the deadline
    waiting_.remove(socket);
    socket->readAll();
    if (end < 0) {
        send(socket, web_error_reply(431));
        socket->disconnectFromHost();
        return;
    }
    answer(socket, head.left(end).toStdString());
}

void WebEndpoint::answer(QTcpSocket* socket, const std::string& head) {
    const WebRequest request = parse_web_request(head);
    auto reply = [&](const std::string& type, const std::string& body) {
        std::string bytes = web_reply_head(200, type, static_cast<long long>(body.size()));
        if (!request.head_only) bytes += body;
        send(socket, bytes);
        socket->disconnectFromHost();
    };
    if (request.status != 0) {
        send(socket, web_error_reply(request.status));
        socket->disconnectFromHost();
        return;
    }
    const NowPlaying now = feed_->now();
    if (request.path == "/") {
        reply("text/html; charset=utf-8", listener_page());
    } else if (request.path == "/now.json") {
        reply("application/json", now_json(now, static_cast<int>(streams_.size())));
    } else if (request.path == "/picture.png" && now.picture_rgb) {
        if (png_version_ != now.picture_version) {
            QImage image(now.picture_rgb->data(), now.picture_width, now.picture_height,
                         now.picture_width * 3, QImage::Format_RGB888);
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            image.save(&buffer, "PNG");
            png_.assign(bytes.constData(), static_cast<size_t>(bytes.size()));
            png_version_ = now.picture_version;
        }
        reply("image/png", png_);
    } else if (request.path == "/events" && !request.head_only) {
        send(socket, web_reply_head(200, "text/event-stream", -1) + "data: " +
                         now_json(now, static_cast<int>(streams_.size())) + "\n\n");
        events_.push_back({socket, now.version});
    } else if (request.path == "/listen.opus" && !request.head_only) {
        const std::string headers = feed_->headers();
        if (headers.empty()) {  // off the air
            send(socket, web_error_reply(404));
            socket->disconnectFromHost();
            return;
        }
        // The headers, the last seconds at once, then the pages to come.
        std::string burst;
        const uint64_t next = recent_pages(&burst);
        send(socket, web_reply_head(200, "audio/ogg", -1) + headers + burst);
        streams_.push_back({socket, feed_->stream_id(), next});
    } else {
        send(socket, web_error_reply(404));
        socket->disconnectFromHost();
    }
}

uint64_t WebEndpoint::recent_pages(std::string* burst) const {
    const uint64_t edge = feed_->live_edge();
    for (uint64_t count = std::min<uint64_t>(edge, kBurstPages); count > 0; --count) {
        burst->clear();
        uint64_t next = edge;
        if (feed_->pages_since(edge - count, burst, &next) && burst->size() <= kBurstBytesMax)
            return next;
    }
    burst->clear();
    return edge;
}

// Writes `bytes` unless the listener has too much waiting already; false
// when it was dropped for that.
bool WebEndpoint::send(QTcpSocket* socket, const std::string& bytes) {
    if (socket->bytesToWrite() + static_cast<qint64>(bytes.size()) > WEB_CLIENT_QUEUE_MAX) {
        drop(socket);
        return false;
    }
    socket->write(bytes.data(), static_cast<qint64>(bytes.size()));
    return true;
}

void WebEndpoint::push() {
    const uint64_t stream_id = feed_->stream_id();
    for (auto it = streams_.begin(); it != streams_.end();) {
        StreamClient client = *it++;  // send() may take it off the list
        std::string pages;
        uint64_t next = client.next_page;
        if (client.stream_id != stream_id) {  // the broadcast ended or restarted
            forget(client.socket);
            client.socket->disconnectFromHost();
            continue;
        }
        if (!feed_->pages_since(client.next_page, &pages, &next)) {  // it fell behind
            drop(client.socket);
            continue;
        }
        if (pages.empty()) continue;
        for (StreamClient& kept : streams_)
            if (kept.socket == client.socket) kept.next_page = next;
        send(client.socket, pages);
    }
    const NowPlaying now = feed_->now();
    const std::string event = "data: " + now_json(now, static_cast<int>(streams_.size())) + "\n\n";
    for (auto it = events_.begin(); it != events_.end();) {
        EventsClient& client = *it++;
        if (client.version == now.version) continue;
        client.version = now.version;
        send(client.socket, event);
    }
}

void WebEndpoint::keep_events_alive() {
    for (auto it = events_.begin(); it != events_.end();) {
        QTcpSocket* socket = (it++)->socket;
        send(socket, ": still here\n\n");
    }
}

// Resets the connection at once: a close would wait for the kernel's
// buffer to drain, which a client that reads nothing never lets happen.
void WebEndpoint::drop(QTcpSocket* socket) {
    forget(socket);
    const linger reset{1, 0};
    setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    socket->abort();
    socket->deleteLater();
}

void WebEndpoint::forget(QTcpSocket* socket) {
    waiting_.remove(socket);
    streams_.remove_if([socket](const StreamClient& c) { return c.socket == socket; });
    events_.remove_if([socket](const EventsClient& c) { return c.socket == socket; });
}

WebServer::WebServer(std::shared_ptr<WebStreamFeed> feed)
    : feed_(std::move(feed)), endpoint_(new WebEndpoint(feed_)) {
    endpoint_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, endpoint_, &QObject::deleteLater);
    wake_->endpoint = endpoint_;
    feed_->set_wake([wake = wake_] {
        std::lock_guard<std::mutex> lock(wake->mutex);
        if (!wake->endpoint || wake->pending) return;
        wake->pending = true;
        QMetaObject::invokeMethod(
            wake->endpoint,
            [wake] {
                WebEndpoint* endpoint = nullptr;
                {
                    std::lock_guard<std::mutex> lock(wake->mutex);
                    wake->pending = false;
                    endpoint = wake->endpoint;
                }
                if (endpoint) endpoint->push();
            },
            Qt::QueuedConnection);
    });
    thread_.start();
}

WebServer::~WebServer() {
    feed_->set_wake(nullptr);
    {
        std::lock_guard<std::mutex> lock(wake_->mutex);
        wake_->endpoint = nullptr;
    }
    thread_.quit();
    thread_.wait();
}

void WebEndpoint::post_listen(std::shared_ptr<ListenCall> call) {
    {
        std::lock_guard<std::mutex> lock(listen_mutex_);
        listen_call_ = std::move(call);
    }
    QMetaObject::invokeMethod(this, "answer_listen", Qt::QueuedConnection);
}

void WebEndpoint::answer_listen() {
    std::shared_ptr<ListenCall> call;
    {
        std::lock_guard<std::mutex> lock(listen_mutex_);
        call = std::move(listen_call_);
    }
    if (!call) return;
    std::lock_guard<std::mutex> lock(call->mutex);
    call->listening = listen(call->host, call->port, call->problem);
    if (call->listening) call->url = url();
    call->done = true;
    call->answered.notify_one();
}

bool WebServer::listen(const QHostAddress& host, quint16 port, std::string& problem) {
    auto call = std::make_shared<WebEndpoint::ListenCall>();
    {
        std::lock_guard<std::mutex> lock(call->mutex);
        call->host = host;
        call->port = port;
    }
    endpoint_->post_listen(call);
    std::unique_lock<std::mutex> lock(call->mutex);
    call->answered.wait(lock, [&] { return call->done; });
    problem = call->problem;
    if (call->listening) url_ = call->url;
    return call->listening;
}

bool WebServer::listen(const std::string& web_listen, std::string& problem) {
    std::string address, cause;
    int port = 0;
    if (!parse_web_listen(web_listen, &address, &port, &problem)) return false;
    if (listen(QHostAddress(QString::fromStdString(address)), static_cast<quint16>(port), cause))
        return true;
    problem = "the listeners' page cannot use " + address + " port " + std::to_string(port) + ": " +
              cause;
    return false;
}
