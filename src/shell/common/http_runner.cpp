#include "shell/common/http_runner.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QTcpSocket>
#include <QTimer>

void HttpRunner::run(HttpExchange& exchange) {
    if (exchange_) return http_failed(exchange, "another exchange runs");  // never nested
    QEventLoop loop;
    QTcpSocket socket;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject lookup_context;  // gone at the end: a late look-up result is dropped
    exchange_ = &exchange;
    loop_ = &loop;

    auto finish_if_done = [&] {
        if (exchange.phase == HTTP_DONE) loop.quit();
    };
    auto gather = [&] {
        char chunk[HTTP_TRANSFER_SIZE - 1];
        while (socket.bytesAvailable() > 0) {
            qint64 size = socket.read(chunk, sizeof chunk);
            if (size <= 0) break;
            http_received(exchange, chunk, static_cast<int>(size));
        }
    };
    auto start_connecting = [&] {
        // The time-out runs from the connection attempt to the end.
        timeout.start(exchange.timeout_ms);
        socket.connectToHost(QHostAddress(static_cast<quint32>(exchange.connect_addr)),
                             exchange.connect_port);
    };

    QObject::connect(&socket, &QTcpSocket::connected, [&] {
        http_connected(exchange);
        socket.write(exchange.request.data(), static_cast<qint64>(exchange.request.size()));
        finish_if_done();
    });
    QObject::connect(&socket, &QTcpSocket::readyRead, gather);
    QObject::connect(&socket, &QTcpSocket::disconnected, [&] {
        gather();
        http_closed(exchange);
        finish_if_done();
    });
    QObject::connect(&socket, &QTcpSocket::errorOccurred, [&](QAbstractSocket::SocketError error) {
        // The server's close is the end of the reply; `disconnected` follows.
        if (error == QAbstractSocket::RemoteHostClosedError) return;
        gather();
        http_failed(exchange, socket.errorString().toUtf8().constData());
        finish_if_done();
    });
    QObject::connect(&timeout, &QTimer::timeout, [&] {
        http_timed_out(exchange);
        finish_if_done();
    });

    int lookup_id = -1;
    if (exchange.phase == HTTP_LOOKING_UP) {
        lookup_id = QHostInfo::lookupHost(
            QString::fromStdString(exchange.connect_host), &lookup_context,
            [&](const QHostInfo& info) {
                lookup_id = -1;
                uint32_t addr = 0;
                for (const QHostAddress& address : info.addresses()) {
                    bool ipv4 = false;
                    addr = address.toIPv4Address(&ipv4);
                    if (ipv4) break;
                    addr = 0;
                }
                http_lookup_done(exchange, info.error() == QHostInfo::NoError && addr != 0, addr);
                if (exchange.phase == HTTP_CONNECTING) start_connecting();
                finish_if_done();
            });
    } else if (exchange.phase == HTTP_CONNECTING) {
        start_connecting();
    }
    if (exchange.phase != HTTP_DONE) loop.exec();

    // Whatever ended the loop, nothing of this exchange outlives it.
    timeout.stop();
    if (lookup_id >= 0) QHostInfo::abortHostLookup(lookup_id);
    QObject::disconnect(&socket, nullptr, nullptr, nullptr);
    socket.abort();
    http_abort(exchange);
    exchange_ = nullptr;
    loop_ = nullptr;
}

void HttpRunner::abort() {
    if (!exchange_) return;
    exchange_->stopped = true;
    http_abort(*exchange_);
    loop_->quit();
}
