#include "shell/common/control_server.h"

#include <errno.h>
#include <grp.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QLocalSocket>
#include <QTimer>
#include <QVariant>

#include "app/control_commands.h"

namespace {

// Whether a station answers at `path` (a connect succeeds).
bool someone_listens(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    snprintf(to.sun_path, sizeof to.sun_path, "%s", path.c_str());
    const bool listens = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    close(fd);
    return listens;
}

std::string system_error() { return strerror(errno); }

}  // namespace

ControlServer::ControlServer(std::function<std::string(const std::string&)> answer)
    : answer_(std::move(answer)) {
    server_.setMaxPendingConnections(kMostConnections);
    connect(&server_, &QLocalServer::newConnection, this, &ControlServer::accept_connections);
}

ControlServer::~ControlServer() {
    if (!path_.empty()) server_.close();  // removes the socket file
}

bool ControlServer::listen(const std::string& path, const std::string& group, std::string& problem) {
    gid_t gid = 0;
    if (!group.empty()) {
        const struct group* g = getgrnam(group.c_str());
        if (!g) {
            problem = "CONTROL_GROUP names no group: " + group;
            return false;
        }
        gid = g->gr_gid;
    }
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        problem = "the control socket's path " + path + " is too long";
        return false;
    }
    const std::string folder = path.substr(0, path.rfind('/'));
    const mode_t folder_mode = group.empty() ? 0700 : 0710;
    if (mkdir(folder.c_str(), folder_mode) != 0 && errno != EEXIST) {
        problem = "cannot make the control folder " + folder + ": " + system_error();
        return false;
    }
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
        problem = "the control folder " + folder + " is not a folder of this user";
        return false;
    }
    if (!group.empty() && (chown(folder.c_str(), static_cast<uid_t>(-1), gid) != 0 ||
                           chmod(folder.c_str(), folder_mode) != 0)) {
        problem = "cannot give the control folder " + folder + " to group " + group + ": " + system_error();
        return false;
    }
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            problem = path + " is in the control socket's place and is no socket";
            return false;
        }
        if (someone_listens(path)) {
            problem = "another station answers at " + path;
            return false;
        }
        unlink(path.c_str());  // left by a station that ended
    }
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(QString::fromStdString(path))) {
        problem = "cannot listen at " + path + ": " + server_.errorString().toStdString();
        return false;
    }
    path_ = path;
    if (!group.empty() && (chown(path.c_str(), static_cast<uid_t>(-1), gid) != 0 || chmod(path.c_str(), 0660) != 0)) {
        problem = "cannot give the control socket " + path + " to group " + group + ": " + system_error();
        server_.close();
        path_.clear();
        return false;
    }
    if (group.empty()) chmod(path.c_str(), 0600);
    return true;
}

void ControlServer::accept_connections() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        if (open_connections_ >= kMostConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++open_connections_;
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this] { --open_connections_; });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read_request(socket); });
        QTimer::singleShot(kRequestDeadlineMs, socket, [socket] { socket->abort(); });
        read_request(socket);
    }
}

void ControlServer::read_request(QLocalSocket* socket) {
    if (socket->property("answered").toBool()) return;
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > CONTROL_REQUEST_MAX) {
            socket->write(QByteArray::fromStdString(
                control_request_too_long() + "\n"));
            socket->setProperty("answered", true);
            socket->disconnectFromServer();
        }
        return;
    }
    QByteArray line = socket->readLine(CONTROL_REQUEST_MAX + 2);
    while (!line.isEmpty() && (line.endsWith('\n') || line.endsWith('\r'))) line.chop(1);
    socket->setProperty("answered", true);
    socket->write(QByteArray::fromStdString(answer_(line.toStdString()) + "\n"));
    socket->disconnectFromServer();  // once the reply is written
}
