#pragma once
// The station's status over HTTP (--status-http): /status.json, /metrics
// and a small page, answered on the station's own event loop.
//
// A request is answered at once, in one go, when its head is complete, so
// a tick never waits for a client. A client gets one request a connection,
// a head of at most STATUS_REQUEST_MAX bytes and a few seconds for the
// whole exchange; when too many connections wait for their request, the
// oldest is dropped, so slow or hostile clients cannot hold the endpoint.

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <list>
#include <string>

struct Context;
class QTcpSocket;

class StatusServer : public QObject {
public:
    // Connections waiting for their request at most, and the time a
    // connection may last from its accept to its close.
    static constexpr int kMaxWaiting = 16;
    static constexpr int kConnectionDeadlineMs = 3000;

    StatusServer(Context& ctx, QObject* parent) : QObject(parent), ctx_(ctx) {}
    // Listens on `host` and `port`. False with `problem` saying why the
    // port cannot be bound.
    bool listen(const QHostAddress& host, quint16 port, std::string& problem);
    std::string url() const;

private:
    void accept_connections();
    void read_request(QTcpSocket* socket);
    void forget(QTcpSocket* socket);

    Context& ctx_;
    // Before the server: its sockets, destroyed with it, take themselves off the list.
    std::list<QTcpSocket*> waiting_;  // accepted, request not yet answered; oldest first
    QTcpServer server_;
};
