#include "ui/program_context.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>

namespace kv::ui {

ProgramContext::ProgramContext(TKelvora& kelvora, Operations& ops, OperationQueue& queue,
                               WindowFrontEnd& frontEnd, QObject* parent)
    : QObject(parent), k_(kelvora), ops_(ops), queue_(queue), fe_(frontEnd) {}

namespace {
QEvent::Type finishedEventType() {
    static const auto t = static_cast<QEvent::Type>(QEvent::registerEventType());
    return t;
}
}  // namespace

void ProgramContext::runOperation(QObject* receiver, std::function<OpResult(Operations&)> work,
                                  std::function<void(const OpResult&)> done) {
    if (pending_.fetch_add(1) == 0) emit busyChanged(true);
    QPointer<QObject> target(receiver);
    const bool posted =
        queue_.post([this, target, work = std::move(work), done = std::move(done)]() mutable {
            Finished f{target, std::move(done), work(ops_)};
            {
                std::lock_guard<std::mutex> g(finishedLock_);
                finished_.push_back(std::move(f));
            }
            // Back on the window thread; the context outlives the queue's thread, which the
            // program stops before it destroys the windows.
            QCoreApplication::postEvent(this, new QEvent(finishedEventType()));
        });
    if (!posted && pending_.fetch_sub(1) == 1) emit busyChanged(false);
}

bool ProgramContext::event(QEvent* e) {
    if (e->type() != finishedEventType()) return QObject::event(e);
    std::deque<Finished> ready;
    {
        std::lock_guard<std::mutex> g(finishedLock_);
        ready.swap(finished_);
    }
    for (Finished& f : ready) {
        if (f.done && f.target) f.done(f.result);
        if (pending_.fetch_sub(1) == 1) emit busyChanged(false);
    }
    return true;
}

}  // namespace kv::ui
