#pragma once
// The listeners' web server (WEB_LISTEN, --web): the page, /now.json,
// /picture.png, /events and the live stream /listen.opus, answered on a
// thread of its own from the station's WebStreamFeed. The station's thread
// never waits for it; a listener that reads too slowly, or not at all, is
// dropped before what is queued for it passes WEB_CLIENT_QUEUE_MAX (the
// kernel's buffer for it is kept small too), and a request must come
// within a few seconds of the connection.

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QThread>
#include <QTimer>
#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "stream/web_stream.h"

class QTcpSocket;

// About 10 s of the stream at 96 kbit/s, besides the kernel's buffer.
constexpr int WEB_CLIENT_QUEUE_MAX = 128 * 1024;
constexpr int WEB_SEND_BUFFER = 32 * 1024;

class WebEndpoint : public QObject {
    Q_OBJECT

public:
    // A listen asked from another thread: handed over under a mutex of our
    // own (Qt's queue orders the call with locks a thread checker cannot
    // see), answered on the endpoint's thread.
    struct ListenCall {
        std::mutex mutex;
        std::condition_variable answered;
        QHostAddress host;
        quint16 port = 0;
        bool done = false, listening = false;
        std::string problem, url;
    };
    void post_listen(std::shared_ptr<ListenCall> call);
    Q_INVOKABLE void answer_listen();

    static constexpr int kRequestDeadlineMs = 5000;
    static constexpr int kMaxWaiting = 64;  // connections whose request has not come
    static constexpr int kEventsKeepAliveMs = 15000;
    // A new stream listener first gets the last pages kept, up to some 3 s
    // and 48 kB: a browser decodes nothing before it holds some 30 kB, so
    // from the live edge alone it stayed silent for 2.5 to 3 s at 96 kbit/s;
    // with them it plays at once, as far behind the station as it would
    // have played anyway.
    static constexpr int kBurstPages = 3000 / WEB_PAGE_MS;
    static constexpr size_t kBurstBytesMax = 48 * 1024;

    explicit WebEndpoint(std::shared_ptr<WebStreamFeed> feed);
    bool listen(const QHostAddress& host, quint16 port, std::string& problem);
    std::string url() const;
    // Sends what is new to every stream and events listener.
    void push();

private:
    struct StreamClient {
        QTcpSocket* socket;
        uint64_t stream_id;
        uint64_t next_page;
    };
    struct EventsClient {
        QTcpSocket* socket;
        uint64_t version;
    };
    void accept_connections();
    void read_request(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const std::string& head);
    // The recent pages a new stream listener starts with, in *burst; the
    // number of the page that follows them.
    uint64_t recent_pages(std::string* burst) const;
    bool send(QTcpSocket* socket, const std::string& bytes);
    void drop(QTcpSocket* socket);
    void forget(QTcpSocket* socket);
    void keep_events_alive();

    std::shared_ptr<WebStreamFeed> feed_;
    std::mutex listen_mutex_;
    std::shared_ptr<ListenCall> listen_call_;  // under listen_mutex_
    std::list<QTcpSocket*> waiting_;
    std::list<StreamClient> streams_;
    std::list<EventsClient> events_;
    uint64_t png_version_ = 0;
    std::string png_;
    QTimer keep_alive_{this};
    QTcpServer server_{this};
};

// Wakes the endpoint's thread once for any number of feed changes.
struct WebWake {
    std::mutex mutex;
    WebEndpoint* endpoint = nullptr;
    bool pending = false;
};

class WebServer {
public:
    explicit WebServer(std::shared_ptr<WebStreamFeed> feed);
    ~WebServer();
    bool listen(const QHostAddress& host, quint16 port, std::string& problem);
    // Listens where WEB_LISTEN says; false with *problem naming the address,
    // the port and the cause ("the listeners' page cannot use 127.0.0.1
    // port 8080: The bound address is already in use"), or the key's fault.
    bool listen(const std::string& web_listen, std::string& problem);
    std::string url() const { return url_; }

private:
    std::shared_ptr<WebStreamFeed> feed_;
    std::shared_ptr<WebWake> wake_ = std::make_shared<WebWake>();
    QThread thread_;
    WebEndpoint* endpoint_;  // deleted on its thread when that ends
    std::string url_;
};
