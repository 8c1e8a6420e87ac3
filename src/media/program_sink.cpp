#include "media/program_sink.h"

void ProgramSinks::started(Services& services, const ProgramInfo& program) {
    running = true;
    for (auto& sink : outputs) sink->started(services, program);
}

void ProgramSinks::program_frame(uint32_t seq, const uint8_t* frame, int length) {
    for (auto& sink : outputs) sink->program_frame(seq, frame, length);
}

void ProgramSinks::program_audio(const ProgramAudio& audio) {
    for (auto& sink : outputs) sink->program_audio(audio);
}

void ProgramSinks::title(const char* text) {
    for (auto& sink : outputs) sink->title(text);
}

void ProgramSinks::picture(const PictureSlot& picture) {
    for (auto& sink : outputs) sink->picture(picture);
}

void ProgramSinks::stopped(Services& services) {
    if (!running) return;
    running = false;
    for (auto& sink : outputs) sink->stopped(services);
}

void ProgramSinks::take_news(Services& services) {
    for (auto& sink : outputs) sink->take_news(services);
}

std::string output_status_line(const Services& services, const ProgramSink& sink) {
    std::string status = sink.status(services);
    return status.empty() ? "" : sink.name() + " " + status;
}
