// The progress events a dump reports while it runs, and where they go.
#pragma once

namespace kro::export_ {

// Progress events: user value, name, count, event number (DumpEvent).
using DumpProgressFn = void (*)(void* user, const char* name, long count, int event);

enum DumpEvent {
    kDatabaseStarted = 0,
    kTableStarted = 1,
    kViewStarted = 2,
    kProcedureStarted = 3,
    kFunctionStarted = 4,
    kTriggerStarted = 5,
    kEventStarted = 6,
    kObjectFinished = 7,
    kRowProgress = 8,
    kRowTotal = 9,
    kObjectCount = 10,
    kGroupStarted = 11,
    kRowEstimate = 12,  // the server's estimate of a table's rows, before them (only for a progress line)
    kPackageStarted = 13,
};

// The callback and its user value; no callback: events go nowhere.
struct DumpEvents {
    DumpProgressFn progress = nullptr;
    void* user = nullptr;

    void operator()(const char* name, long count, int number) const {
        if (progress) progress(user, name, count, number);
    }
};

}  // namespace kro::export_
