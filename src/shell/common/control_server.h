#pragma once
// The station's control socket (velmora-ctl): a Unix socket in the control
// folder, readable and writable by the station's user alone (0600), or by a
// group as well (CONTROL_GROUP, 0660). Each connection sends one request
// line and gets one reply line; the answer is made on the station's thread,
// which only ever reads what has already come. A connection that sends no
// whole line within a few seconds, or too long a one, is dropped.

#include <QLocalServer>
#include <QObject>
#include <functional>
#include <string>

class QLocalSocket;

class ControlServer : public QObject {
public:
    static constexpr int kRequestDeadlineMs = 5000;
    static constexpr int kMostConnections = 32;

    // Answers one request line (without its newline) with one reply line.
    explicit ControlServer(std::function<std::string(const std::string&)> answer);
    ~ControlServer() override;

    // Listens at `path`, making its folder (0700, or 0710 for the group)
    // when it is missing. A socket left by a station that ended is replaced;
    // one where a station still answers is not. `group` empty: the user
    // alone. False with the reason in `problem`.
    bool listen(const std::string& path, const std::string& group, std::string& problem);
    const std::string& path() const { return path_; }

private:
    void accept_connections();
    void read_request(QLocalSocket* socket);

    std::function<std::string(const std::string&)> answer_;
    QLocalServer server_;
    std::string path_;
    int open_connections_ = 0;
};
