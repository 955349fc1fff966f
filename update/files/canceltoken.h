#pragma once

#include <atomic>
#include <memory>

// Asks file work in another thread to stop at its next safe point: between
// two files. The work notes its progress on it too, so that whoever waits on
// it can tell work going on from work that stopped answering. Copies of a
// token share one state.
class CancelToken
{
public:
    CancelToken()
        : state(std::make_shared<State>())
    {}
    void cancel() const { state->cancelled = true; }
    bool isCancelled() const { return state->cancelled; }

    // A piece of the work is done: a file read or hashed, an entry walked.
    void noteProgress() const { ++state->progress; }
    quint64 progress() const { return state->progress; }

private:
    struct State
    {
        std::atomic_bool cancelled{false};
        std::atomic<quint64> progress{0};
    };
    std::shared_ptr<State> state;
};
