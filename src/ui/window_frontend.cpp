#include "ui/window_frontend.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QThread>
#include <condition_variable>
#include <mutex>

#include "app/texts.h"
#include "ui/password_dialog.h"
#include "ui/translate.h"

namespace kv::ui {

WindowFrontEnd::WindowFrontEnd(QObject* parent) : QObject(parent) {}

namespace {

// A call handed to the window thread. The caller waits on its own mutex and condition
// rather than on Qt's blocking connection: that one shares a reference-counted slot object
// between the threads and wakes the caller through a semaphore of Qt's, so the caller
// could free the call while the window thread still reads it, unseen by any race checker.
struct PendingCall {
    const std::function<void()>* f = nullptr;
    std::mutex lock;
    std::condition_variable doneSignal;
    bool done = false;
};

class CallEvent : public QEvent {
  public:
    static QEvent::Type type() {
        static const auto t = static_cast<QEvent::Type>(QEvent::registerEventType());
        return t;
    }
    explicit CallEvent(PendingCall* call) : QEvent(type()), call_(call) {}
    PendingCall* call() const { return call_; }

  private:
    PendingCall* call_;
};

}  // namespace

bool WindowFrontEnd::event(QEvent* e) {
    if (e->type() != CallEvent::type()) return QObject::event(e);
    PendingCall* call = static_cast<CallEvent*>(e)->call();
    (*call->f)();
    // Notified under the lock: the caller may free the call as soon as it sees it done.
    std::lock_guard<std::mutex> g(call->lock);
    call->done = true;
    call->doneSignal.notify_one();
    return true;
}

void WindowFrontEnd::onWindowThread(const std::function<void()>& f) {
    if (QThread::currentThread() == thread()) {
        f();
        return;
    }
    PendingCall call;
    call.f = &f;
    QCoreApplication::postEvent(this, new CallEvent(&call));
    std::unique_lock<std::mutex> g(call.lock);
    call.doneSignal.wait(g, [&] { return call.done; });
}

void WindowFrontEnd::progress(const std::string& text) {
    emit progressText(qs(text));
}

void WindowFrontEnd::errorBox(const std::string& text) {
    onWindowThread([&] { QMessageBox::critical(parent_, "Kelvora", qs(text)); });
}

void WindowFrontEnd::warning(const std::string& text) {
    onWindowThread([&] { QMessageBox::warning(parent_, "Kelvora", qs(text)); });
}

void WindowFrontEnd::information(const std::string& text) {
    onWindowThread([&] { QMessageBox::information(parent_, "Kelvora", qs(text)); });
}

std::string WindowFrontEnd::askFile(bool save, const std::string& title,
                                    const std::string& proposed, const std::string& filter) {
    std::string chosen;
    onWindowThread([&] {
        const QString f =
            save ? QFileDialog::getSaveFileName(parent_, qs(title), qs(proposed), qs(filter))
                 : QFileDialog::getOpenFileName(parent_, qs(title), qs(proposed), qs(filter));
        chosen = ss(f);
    });
    return chosen;
}

bool WindowFrontEnd::askText(const std::string& header, const std::string& prompt,
                             std::string& text) {
    bool ok = false;
    onWindowThread([&] {
        const QString t = QInputDialog::getText(parent_, qs(header), qs(prompt), QLineEdit::Normal,
                                                qs(text), &ok);
        if (ok) text = ss(t);
    });
    return ok;
}

Answer WindowFrontEnd::ask(const std::string& question, bool withCancel) {
    Answer answer = Answer::No;
    onWindowThread([&] {
        QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No;
        if (withCancel) buttons |= QMessageBox::Cancel;
        const auto b =
            QMessageBox::question(parent_, "Kelvora", qs(question), buttons, QMessageBox::No);
        // A box closed without a choice is a refusal: Cancel where Cancel is offered.
        if (b == QMessageBox::Yes)
            answer = Answer::Yes;
        else if (withCancel && b != QMessageBox::No)
            answer = Answer::Cancel;
    });
    return answer;
}

void WindowFrontEnd::setKnownRowPassword(std::optional<std::string> entry) {
    std::lock_guard<std::mutex> g(knownLock_);
    knownRowPassword_ = std::move(entry);
}

bool WindowFrontEnd::askPassword(const std::string& title, std::string& entry) {
    {
        std::lock_guard<std::mutex> g(knownLock_);
        if (knownRowPassword_ && title == GetText("frmPasswd", "RowTitle", "Enter row password")) {
            entry = *knownRowPassword_;
            return true;
        }
    }
    bool ok = false;
    onWindowThread([&] {
        TfrmPassWd dialog(parent_);
        QString text;
        ok = dialog.ask(qs(title), text);
        entry = ss(text);
    });
    return ok;
}

}  // namespace kv::ui
