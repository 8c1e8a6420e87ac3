#pragma once
// The station's status over HTTP (--status-http): /status.json, /metrics
// and a small page, answered on a thread of its own.
//
// The station's thread hands over a copy of its status a few times a
// second (publish); the endpoint answers from the latest copy and never
// touches the station, so no number of clients can delay a tick. Its
// thread runs at a lower priority than the station's, so a connection
// flood takes the cores the ticks do not need.
//
// A request is answered at once, in one go, when its head is complete. A
// client gets one request a connection, a head of at most
// STATUS_REQUEST_MAX bytes and a few seconds for the whole exchange; when
// too many connections wait for their request, the oldest is dropped, so
// slow or hostile clients cannot hold the endpoint.

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QThread>
#include <list>
#include <string>

#include "app/status_report.h"

class QTcpSocket;

// The endpoint itself; lives on StatusServer's thread.
class StatusEndpoint : public QObject {
public:
    // Connections waiting for their request at most, and the time a
    // connection may last from its accept to its close.
    static constexpr int kMaxWaiting = 16;
    static constexpr int kConnectionDeadlineMs = 3000;

    bool listen(const QHostAddress& host, quint16 port, std::string& problem);
    std::string url() const;
    void take_report(StatusReport report) { report_ = std::move(report); }

private:
    void accept_connections();
    void read_now(QTcpSocket* socket);
    void make_room();
    void read_request(QTcpSocket* socket);
    void forget(QTcpSocket* socket);

    StatusReport report_;
    // Before the server: its sockets, destroyed with it, take themselves off the list.
    std::list<QTcpSocket*> waiting_;  // accepted, request not yet answered; oldest first
    QTcpServer server_{this};
};

class StatusServer {
public:
    // How often the station's thread hands over its status.
    static constexpr int kPublishIntervalMs = 250;

    StatusServer();
    ~StatusServer();
    // Listens on `host` and `port`. False with `problem` saying why the
    // port cannot be bound.
    bool listen(const QHostAddress& host, quint16 port, std::string& problem);
    std::string url() const { return url_; }
    // From the station's thread: the status the endpoint answers with from now on.
    void publish(StatusReport report);

private:
    QThread thread_;
    StatusEndpoint* endpoint_;  // deleted on its thread when that ends
    std::string url_;
};
