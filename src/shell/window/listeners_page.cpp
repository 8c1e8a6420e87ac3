#include "shell/window/listeners_page.h"

#include <cctype>
#include <cstdio>

#include "base/host.h"
#include "base/messages.h"
#include "shell/common/web_server.h"

ListenersPage::ListenersPage(const WebStreamSettings& settings, std::shared_ptr<WebStreamFeed> feed)
    : settings_(settings), feed_(std::move(feed)) {}

ListenersPage::~ListenersPage() = default;

bool ListenersPage::started(Services& services, const ProgramInfo&) {
    const std::string wanted = settings_.WEB_LISTEN;
    failed_ = false;
    if (server_ && served_ == wanted) return true;
    // The old server goes first: the feed wakes one server at a time.
    server_.reset();
    served_.clear();
    if (wanted.empty()) return true;
    auto server = std::make_unique<WebServer>(feed_);
    std::string problem;
    if (!server->listen(wanted, problem)) {
        failed_ = true;
        if (!problem.empty())
            problem[0] = static_cast<char>(toupper(static_cast<unsigned char>(problem[0])));
        services.host->notice((problem + ". The broadcast goes on without the listeners' page; "
                                         "Expert Settings sets WEB_LISTEN for the next start.")
                                  .c_str());
        return false;
    }
    server_ = std::move(server);
    served_ = wanted;
    printf("[%s] listeners' page on %s (stream /listen.opus)\n", PROGRAM_TITLE,
           server_->url().c_str());
    fflush(stdout);
    return true;
}

std::string ListenersPage::status(const Services&) const {
    return failed_ ? "off" : "";
}
