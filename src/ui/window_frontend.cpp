#include "ui/window_frontend.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "ui/password_dialog.h"
#include "ui/translate.h"

namespace kv::ui {

WindowFrontEnd::WindowFrontEnd(QObject* parent) : QObject(parent) {}

void WindowFrontEnd::onWindowThread(const std::function<void()>& f) {
    if (QThread::currentThread() == thread()) {
        f();
        return;
    }
    QMetaObject::invokeMethod(this, f, Qt::BlockingQueuedConnection);
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

Answer WindowFrontEnd::ask(const std::string& question, bool withCancel) {
    Answer answer = Answer::No;
    onWindowThread([&] {
        QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No;
        if (withCancel) buttons |= QMessageBox::Cancel;
        const auto b = QMessageBox::question(parent_, "Kelvora", qs(question), buttons,
                                             QMessageBox::No);
        // A box closed without a choice is a refusal: Cancel where Cancel is offered.
        if (b == QMessageBox::Yes)
            answer = Answer::Yes;
        else if (withCancel && b != QMessageBox::No)
            answer = Answer::Cancel;
    });
    return answer;
}

bool WindowFrontEnd::askPassword(const std::string& title, std::string& entry) {
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
