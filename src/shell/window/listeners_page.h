#pragma once
// The listeners' web page of the window (WEB_LISTEN), an output of the
// station like the others: each broadcast start serves it where WEB_LISTEN
// says then, so that a change made in Expert Settings counts from the next
// Start (an unchanged address keeps its listeners' connections; an emptied
// one closes the page). An address the page cannot use (taken, not this
// computer's, not an address) is told once at that start, naming the
// address, port and cause; the broadcast goes on without the page.

#include <memory>
#include <string>
#include <vector>

#include "media/program_sink.h"
#include "stream/web_stream.h"

class WebServer;

class ListenersPage final : public ProgramSink {
public:
    ListenersPage(const WebStreamSettings& settings, std::shared_ptr<WebStreamFeed> feed);
    ~ListenersPage() override;

    std::string name() const override { return "Page"; }
    bool started(Services& services, const ProgramInfo& program) override;
    void program_frame(uint32_t, const uint8_t*, int) override {}
    void program_audio(const ProgramAudio&) override {}
    void title(const char*) override {}
    void picture(const PictureSlot&) override {}
    void stopped(Services&) override {}
    // "off" after a start could not serve it; otherwise nothing (the web
    // stream's own status says it streams).
    std::string status(const Services& services) const override;
    std::vector<OutputValue> status_values() const override { return {}; }

private:
    const WebStreamSettings& settings_;
    std::shared_ptr<WebStreamFeed> feed_;
    std::unique_ptr<WebServer> server_;
    std::string served_;  // the WEB_LISTEN server_ listens on
    bool failed_ = false;
};
