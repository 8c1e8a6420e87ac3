#pragma once
// What the fuzz targets share: a temporary directory of their own (every
// file a target writes lands there), a check that stops the run with its
// reason, the station socket on loopback, and small synthetic media.

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "support/synthetic_picture.h"  // gradient_bmp, the fuzz targets' pictures

class Host;
struct Context;

// Makes this process's temporary directory (under $TMPDIR, else in memory
// under /dev/shm when there is one) and turns the trace sink off. Call it
// from LLVMFuzzerInitialize; the directory goes when the process exits.
void fuzz_setup();
// The directory made by fuzz_setup.
const std::string& fuzz_dir();
// fuzz_dir() + "/" + name
std::string fuzz_path(const std::string& name);
// Replaces fuzz_path(name) with these bytes; returns the path.
std::string write_fuzz_file(const std::string& name, const uint8_t* data, size_t size);
std::string write_fuzz_file(const std::string& name, const std::string& bytes);
// Removes every file of a directory made under fuzz_dir() (the weekday logs
// of one input, so that the next starts without them).
void empty_fuzz_subdir(const std::string& name);

// A broken promise: the reason goes to stderr and the run aborts, which
// libFuzzer reports as a crash and keeps the input that caused it.
[[noreturn]] void fuzz_failure(const char* file, int line, const char* condition);
#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : fuzz_failure(__FILE__, __LINE__, #condition))

// A fresh Context for `host`, as make_context makes it, built in the memory
// of the previous one: AddressSanitizer maps and unmaps a block this large
// on every allocation, and those page faults took a third of the run.
Context& renew_context(std::unique_ptr<Context>& ctx, Host& host);

// Opens the station socket bound to 127.0.0.1 on an ephemeral port and sets
// the station's addresses (own address 127.0.0.1, class A mask, that port
// as STATION_PORT) as open_station would, without announcing the station
// to anybody. Aborts
// when no socket can be had: a target without one would test nothing.
void open_loopback_station(Context& ctx);
// The address the station socket is bound to.
sockaddr_in station_socket_address(const Context& ctx);

// Synthetic media of our own.
// A compressed sample file ("VMA ", rate, rate code) of `frames` frames of
// music-like audio coded at `rate_percent`.
std::string music_sample_file(int sampling_rate, int rate_percent, int frames);
