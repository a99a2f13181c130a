#include "ui/program_context.h"

#include <QPointer>

namespace kv::ui {

ProgramContext::ProgramContext(TKelvora& kelvora, Operations& ops, OperationQueue& queue,
                               WindowFrontEnd& frontEnd, QObject* parent)
    : QObject(parent), k_(kelvora), ops_(ops), queue_(queue), fe_(frontEnd) {}

void ProgramContext::runOperation(QObject* receiver, std::function<OpResult(Operations&)> work,
                                  std::function<void(const OpResult&)> done) {
    if (pending_.fetch_add(1) == 0) emit busyChanged(true);
    QPointer<QObject> target(receiver);
    const bool posted = queue_.post([this, target, work = std::move(work), done = std::move(done)] {
        const OpResult result = work(ops_);
        // Back on the window thread; the context outlives the queue's thread, which the
        // program stops before it destroys the windows.
        QMetaObject::invokeMethod(
            this,
            [this, target, done, result] {
                if (done && target) done(result);
                if (pending_.fetch_sub(1) == 1) emit busyChanged(false);
            },
            Qt::QueuedConnection);
    });
    if (!posted && pending_.fetch_sub(1) == 1) emit busyChanged(false);
}

}  // namespace kv::ui
