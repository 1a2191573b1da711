// The requests of one evaluation, let onto the wire as the session's connections allow.
//
// The HTTP client's total timeout starts when a request is made, before the request waits for
// a free connection of the session's pool. With every record's request started at once, the
// later records of a large table spend their timeout in the client's own queue, and fail
// without ever reaching the service. So each attempt of a request first takes a turn (one
// per connection the session may open) and gives it back as soon as its response is left,
// before any back-off sleep; and the records are started as turns can serve them: as many at
// a time as there are turns, plus those sleeping in back-off, the next one as one of them
// finishes or goes to sleep. A record waiting for its start holds nothing but its body and
// its place in the results, and cancelling an evaluation cancels only what is running.
#pragma once

#include "support.hpp"

namespace screening {

// Sends every body of `payloads` as `send(payload, session)` (a coroutine function) and gives
// their results in order, as `asyncio.gather(*requests, return_exceptions=True)` gives them:
// a request that escaped with an exception leaves that exception in its place. `turns` is
// how many may be on the wire at once (0: no bound). If the run is cancelled or fails,
// nothing more starts, what runs is cancelled, and the error goes on once every started
// request has ended.
tsy::Async send_all(tsy::Ref send, tsy::Ref payloads, tsy::Ref session, Py_ssize_t turns);

// How many requests `session` can have on the wire at once: the least of its connector's
// limits that is set, or 0 when none is (or the session shows no connector).
Py_ssize_t turns_of(tsy::Handle session);

// The queue of the evaluation whose request is running, when that request was started by one
// for `session`; null otherwise (a request sent on a session of the caller's own).
tsy::Ref queue_of(tsy::Handle session);

// A request's turn on the wire, held from the start of an attempt to the end of its response.
class Turn {
public:
    explicit Turn(tsy::Ref queue) noexcept : queue_(std::move(queue)) {}
    Turn(const Turn&) = delete;
    ~Turn() { give_back(); }
    // Null when the turn is taken at once; otherwise a future to await, which hands the
    // turn over when it is done.
    tsy::Ref take();
    // After the future of `take` ended the await with an error: a turn it had been handed
    // already is given back.
    void abandon(const tsy::Ref& handing) noexcept;
    void give_back() noexcept;
    // The back-off sleep of a request, which holds no turn: another record may start.
    void sleeping(bool asleep) noexcept;

private:
    tsy::Ref queue_;
    bool held_ = false;
};

}  // namespace screening
