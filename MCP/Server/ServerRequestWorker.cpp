// The server's request workers: long-lived tasks on the server's strand that serve one request
// after another, so that a request costs a hand-over instead of the set-up of a new task.

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/this_coro.hpp>

#include "MCP/Messages/MessageClassification.h"
#include "MCP/Server/ServerInternal.h"

namespace mcp {

namespace asio = boost::asio;

namespace {

// Enough for the requests a client keeps open at once; a burst beyond it starts new workers,
// which end when it is over.
constexpr std::size_t kMaxIdleWorkers = 16;

}  // namespace

void Server::handToWorker(RequestJob&& job) {
    if (idleWorkers_.empty()) {
        startWorker();
    }
    auto worker = std::move(idleWorkers_.back());
    idleWorkers_.pop_back();
    job.running->worker = worker;
    worker->give(std::move(job));
}

void Server::startWorker() {
    // Joins the idle workers once it waits (at once, on the strand), so that its first request
    // reaches it the way every later one does.
    auto worker = std::make_shared<RequestWorker>(strand_);
    asio::co_spawn(asio::any_io_executor(detail::HandlerContextExecutor(worker->binding)),
                   runWorker(shared_from_this(), worker),
                   asio::bind_cancellation_slot(worker->signal.slot(), asio::detached));
    idleWorkers_.push_back(std::move(worker));
}

asio::awaitable<void> Server::runWorker(std::shared_ptr<Server> self,
                                        std::shared_ptr<RequestWorker> worker) {
    (void)self;  // the worker keeps the server alive
    // A copy of the executor that outlives its request (kept by a task the handler started, say)
    // would see the context of the next request. Every job arrives the same way, so the number of
    // owners of the binding is the same at each arrival unless a copy got away; then the job goes
    // to a new worker and this one retires.
    long quiet = 0;
    while (true) {
        // A job that was given before the worker first waited (its start did not run at once)
        // arrives another way: the worker serves it and retires.
        const bool handedOver = !worker->job;
        if (!worker->job && !worker->closed) {
            auto registerWaiter = [worker](detail::Waiter<bool>&& waiter) {
                worker->waiting.emplace(std::move(waiter));
            };
            // Nothing cancels the wait itself: a cancellation is meant for a request.
            co_await detail::suspend<bool>(++worker->waits, std::move(registerWaiter),
                                           [](std::uint64_t) {});
        }
        if (!worker->job) {
            co_return;
        }
        if (handedOver) {
            const long owners = worker->binding.use_count();
            if (quiet == 0) {
                quiet = owners;
            } else if (owners != quiet) {
                handToWorker(*std::exchange(worker->job, std::nullopt));
                co_return;
            }
        }
        // A cancellation of the previous request must not reach this one.
        if (auto state = co_await asio::this_coro::cancellation_state;
            state.cancelled() != asio::cancellation_type::none) {
            co_await asio::this_coro::reset_cancellation_state();
        }
        RequestJob& job = *worker->job;
        std::shared_ptr<RunningRequest> running = job.running;
        worker->binding->context = HandlerContext{running->id, std::nullopt};
        bool dropped = running->cancelled;  // cancelled before it began: never runs
        if (!dropped) {
            std::string bytes;
            std::exception_ptr failure;
            try {
                if (job.connection->providesHTTPRequestContexts()) {
                    auto httpContext = co_await job.connection->httpRequestContext(running->id);
                    worker->binding->context->httpContext = std::move(httpContext);
                    if (running->cancelled) {
                        throw boost::system::system_error(asio::error::operation_aborted);
                    }
                }
                bytes = co_await job.box->answer(std::move(job.request));
            } catch (...) {
                failure = std::current_exception();
            }
            if (failure && running->cancelled && detail::isOperationAborted(failure)) {
                dropped = true;  // a cancelled request is not answered
            } else {
                if (failure) {
                    // A result JSON cannot carry is answered with an error too.
                    bytes =
                        responseText(Response<AnyMethod>{running->id, detail::toMCPError(failure)});
                }
                // Named, not a temporary in the co_await: g++ 12 destroys such temporaries twice.
                Transport::Answer answered{running->id, failure != nullptr};
                try {
                    if (!job.connection->trySendAnswer(bytes, answered)) {
                        co_await job.connection->sendAnswer(std::move(bytes), std::move(answered));
                    }
                } catch (...) {
                    // A failed send has nobody to tell: the peer is gone.
                }
            }
        }
        std::shared_ptr<Transport> unanswered = dropped ? job.connection : nullptr;
        worker->job.reset();
        // The context stays until the next request: a task the handler left running sees it.
        finishRequest(running, dropped);
        // A cancelled state would fail the wait for the next job, and the word to the transport.
        if (auto state = co_await asio::this_coro::cancellation_state;
            state.cancelled() != asio::cancellation_type::none) {
            co_await asio::this_coro::reset_cancellation_state();
        }
        if (unanswered) {
            co_await tellRequestEnded(unanswered, running->id);
        }
        if (!handedOver || !receiving_ || worker->closed ||
            idleWorkers_.size() >= kMaxIdleWorkers) {
            co_return;
        }
        idleWorkers_.push_back(worker);
    }
}

void Server::closeIdleWorkers() {
    for (auto& worker : std::exchange(idleWorkers_, {})) {
        worker->close();
    }
}

}  // namespace mcp
