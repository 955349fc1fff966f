#pragma once

#include <atomic>
#include <memory>

// Asks file work in another thread to stop at its next safe point: between
// two files. Copies of a token share one flag.
class CancelToken
{
public:
    CancelToken()
        : flag(std::make_shared<std::atomic_bool>(false))
    {}
    void cancel() const { *flag = true; }
    bool isCancelled() const { return *flag; }

private:
    std::shared_ptr<std::atomic_bool> flag;
};
