// The fuzz targets: each takes arbitrary bytes, drives one part of the tool with them and
// aborts (after saying why on standard error) when a rule the tool must keep is broken.
// libFuzzer calls them from LLVMFuzzerTestOneInput; the regression test replays the saved
// inputs through the same functions under the normal compiler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace tarvik::fuzz {

// The upgrade engine's reply handler, driven into one of its states and then fed replies
// (arbitrary bytes, well-formed replies with arbitrary fields), timer ticks, Stop, Start and
// port closes in the order the input says.
int ReplyHandler(const uint8_t* data, size_t size);
// The reply reader's gathering, fed an arbitrary sequence of chunks, time-outs and purges by
// a scripted port, with the hand-over to a driver thread.
int ReplyGathering(const uint8_t* data, size_t size);
// The settings file reader, fed an arbitrary file.
int SettingsFile(const uint8_t* data, size_t size);
// The telnet side of a network line, fed an arbitrary stream from the server, cut into
// reads as the input's first byte says.
int TelnetStream(const uint8_t* data, size_t size);

}  // namespace tarvik::fuzz

// Stops at a broken rule: a crash is what a fuzzer records and what a replay test reports.
#define TARVIK_FUZZ_CHECK(condition, what)                                             \
    do {                                                                               \
        if (!(condition)) {                                                            \
            std::fprintf(stderr, "%s:%d: broken: %s (%s)\n", __FILE__, __LINE__, what, \
                         #condition);                                                  \
            std::abort();                                                              \
        }                                                                              \
    } while (false)
