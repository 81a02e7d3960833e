#pragma once
// The stand-in runtime's one seam to the outside: every call on a fake object passes through
// call(), which records it and answers with the outcome that the test configured; every event
// that a test raises enters through raise() and reaches the current fake browser through its
// sink; completions are delivered by post(), on the thread that made the call.
//
// In-process mode (this file's implementation) keeps the record and the configuration in
// memory and takes events from the control exports. A relay mode can replace the bodies of
// these functions (forwarding calls to a real browser and taking its events) without touching
// the fake objects.

#include <windows.h>

#include <functional>
#include <string>

namespace standin {

struct outcome {
    enum kind_t { ok, fail, complete, null_result, never, sync, defer, s_false };
    kind_t kind = ok;
    HRESULT hr = S_OK;  // fail: returned at once; complete: handed to the completion
};

// What a fake browser does with events that a test raises.
class event_sink {
public:
    virtual std::string raise(const std::string& kind, const std::string& argument) = 0;

protected:
    ~event_sink() = default;
};

class transport {
public:
    static transport& instance();

    // A call on a fake object: recorded as "step(details)"; the step's next configured
    // outcome, or ok when none is left.
    outcome call(const std::string& step, const std::string& details = {});
    // Recorded only (module attach and detach, objects destroyed).
    void note(const std::string& event);

    // Test side.
    void configure(const std::string& step, const std::string& outcomes);
    void reset();
    std::string log() const;
    std::string raise(const std::string& kind, const std::string& argument);

    void set_sink(event_sink* sink);
    void clear_sink(event_sink* sink);

    // Runs job later on the calling thread, through a window of this module.
    void post(std::function<void()> job);
    // Kept until the test raises "release_deferred".
    void defer(std::function<void()> job);
    int pending() const;

    // On unload: the posting window goes with the module.
    void shut_down();

private:
    transport() = default;
};

// Live fake objects of this module.
int live_objects();
void object_made();
void object_gone();

std::string narrow(const wchar_t* text);
std::wstring widen(const std::string& text);

}  // namespace standin
