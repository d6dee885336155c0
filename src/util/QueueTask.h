#pragma once

#include "util/Deferred.h"
#include "util/SerialQueue.h"

#include <memory>
#include <type_traits>

// The answer of work handed to a queue, for one main-thread coroutine to co_await.
template <typename T> struct QueueAnswer {
    std::shared_ptr<Deferred<T>> deferred;
    auto operator co_await() { return deferred->operator co_await(); }
};

// Runs work on the queue; the awaiting coroutine resumes on the main thread with its result, from the event
// loop. Work that the queue drops because it was stopped never answers, so only owners that outlive their
// queue's last job await it. Work that captures anything with a destructor is kept in a named variable, not
// written inside the co_await expression: g++ 12 destroys such a lambda temporary's captures twice there.
template <typename Work> QueueAnswer<std::invoke_result_t<Work&>> runOnQueue(SerialQueue& queue, Work work)
{
    using Result = std::invoke_result_t<Work&>;
    auto answer = Deferred<Result>::create();
    queue.async([answer, work = std::move(work)]() mutable { answer->resolve(work()); });
    return {answer};
}
