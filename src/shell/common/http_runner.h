#pragma once
// Runs the directory client's HTTP exchanges over Qt's networking: QHostInfo
// for the look-up, QTcpSocket for the connection, a QTimer for the time-out,
// all inside a nested event loop, so the broadcast's timers and sockets keep
// being served while a request runs.

#include <QEventLoop>

#include "web/http_client.h"

class HttpRunner {
public:
    // Returns when the exchange is done (its phase HTTP_DONE), or when the
    // program's event loops are told to end (the exchange is then aborted).
    void run(HttpExchange& exchange);
    // Ends the running exchange at once, without waiting (the stop path).
    void abort();
    bool running() const { return exchange_ != nullptr; }

private:
    HttpExchange* exchange_ = nullptr;
    QEventLoop* loop_ = nullptr;
};
