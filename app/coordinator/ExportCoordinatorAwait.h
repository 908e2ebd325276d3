// Waiting for an export from Asio code (the automation tool handlers and other coroutines on
// threads and strands of their own), kept apart from ExportCoordinator.h so that Asio stays
// out of the main header.
//
// `asyncWaitForExport(coordinator, jobID, token)` is an initiating function with the
// completion signature `void(ExportResult<QUrl>)`. It hops to the Qt main thread, waits there
// with `ExportCoordinator::wait`, and completes on the handler's associated executor (the
// caller's strand for `asio::use_awaitable`) with the movie's URL or the failure, exactly as
// `wait` reports them.
//
// Cancellation: the handler's cancellation slot is honoured for every cancellation type.
// Cancelling asks for the export itself to be cancelled (for every caller); the wait goes on
// and ends when the job ends, for a cancelled export with `platform::Error::userCancelled()`.
// A caller already cancelled on entry (its slot was emitted before, as the coroutine's
// cancellation state shows) asks for the same and completes at once with
// `taskCancelledError()`: use `waitForExport` for that check.
//
// Lifetimes: `coordinator` is touched only on the main thread and only while it exists (the
// shared one always does). The handler is kept until it is called; if the Qt application goes
// away first it is destroyed without being called. Any thread.
#pragma once

#include <QPointer>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <memory>
#include <mutex>
#include <utility>

#include "app/coordinator/ExportCoordinator.h"
#include "app/coordinator/MainThreadBridge.h"

namespace fw {

template <class CompletionToken>
auto asyncWaitForExport(ExportCoordinator& coordinator, QUuid jobID, CompletionToken&& token) {
    return boost::asio::async_initiate<CompletionToken, void(ExportResult<QUrl>)>(
        [](auto handler, QPointer<ExportCoordinator> coordinator, QUuid jobID) {
            using Handler = std::decay_t<decltype(handler)>;
            auto work = boost::asio::prefer(boost::asio::get_associated_executor(handler),
                                            boost::asio::execution::outstanding_work.tracked);
            auto slot = boost::asio::get_associated_cancellation_slot(handler);
            auto state = std::make_shared<Handler>(std::move(handler));
            if (slot.is_connected()) {
                // Runs on whichever thread emits the slot: it only posts to the main thread.
                slot.assign([coordinator, jobID](boost::asio::cancellation_type type) {
                    if (type != boost::asio::cancellation_type::none) {
                        ExportWaitCancellation(coordinator, jobID).cancel();
                    }
                });
            }
            const bool posted = postToMainThread([state, work, coordinator, jobID, slot]() mutable {
                auto resume = [state, work, slot](ExportResult<QUrl> outcome) mutable {
                    // The slot's handler must not outlive the operation.
                    boost::asio::post(work, [state, slot, outcome = std::move(outcome)]() mutable {
                        if (slot.is_connected()) {
                            slot.clear();
                        }
                        std::move (*state)(std::move(outcome));
                    });
                };
                if (!coordinator) {
                    resume(ExportError::unknownJob());
                    return;
                }
                coordinator->wait(jobID, std::move(resume));
            });
            if (!posted && slot.is_connected()) {
                slot.clear();
            }
        },
        token, QPointer<ExportCoordinator>(&coordinator), jobID);
}

// Waits in a coroutine, resuming on the coroutine's executor; see above. Already cancelled on
// entry: asks for the export to be cancelled and returns `taskCancelledError()` at once.
inline boost::asio::awaitable<ExportResult<QUrl>> waitForExport(ExportCoordinator& coordinator,
                                                                QUuid jobID) {
    const auto cancellation = co_await boost::asio::this_coro::cancellation_state;
    if (cancellation.cancelled() != boost::asio::cancellation_type::none) {
        ExportWaitCancellation(QPointer<ExportCoordinator>(&coordinator), jobID).cancel();
        co_return ExportResult<QUrl>(taskCancelledError());
    }
    co_return co_await asyncWaitForExport(coordinator, jobID, boost::asio::use_awaitable);
}

}  // namespace fw
