#include "console/console_frontend.h"

namespace kv {

ConsoleFrontEnd::Context* ConsoleFrontEnd::mine() {
    if (context_ && context_->thread == std::this_thread::get_id()) return &*context_;
    return nullptr;
}

bool ConsoleFrontEnd::inCommand() {
    std::lock_guard lock(mutex_);
    return mine() != nullptr;
}

void ConsoleFrontEnd::errorBox(const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        if (Context* c = mine()) c->notes.push_back(text);
    }
    HeadlessFrontEnd::errorBox(text);
}

Answer ConsoleFrontEnd::ask(const std::string& question, bool withCancel) {
    {
        std::lock_guard lock(mutex_);
        if (mine()) return Answer::Yes;
    }
    return HeadlessFrontEnd::ask(question, withCancel);
}

bool ConsoleFrontEnd::askPassword(const std::string& title, std::string& entry) {
    {
        std::lock_guard lock(mutex_);
        if (Context* c = mine()) {
            if (!c->password) return false;
            entry = *c->password;
            return true;
        }
    }
    return HeadlessFrontEnd::askPassword(title, entry);
}

ConsoleFrontEnd::Scope::Scope(ConsoleFrontEnd& ui, std::optional<std::string> password) : ui_(ui) {
    std::lock_guard lock(ui_.mutex_);
    ui_.context_ = Context{std::this_thread::get_id(), std::move(password), {}};
}

ConsoleFrontEnd::Scope::~Scope() {
    std::lock_guard lock(ui_.mutex_);
    ui_.context_.reset();
}

std::vector<std::string> ConsoleFrontEnd::Scope::takeNotes() {
    std::lock_guard lock(ui_.mutex_);
    std::vector<std::string> notes;
    if (ui_.context_) notes.swap(ui_.context_->notes);
    return notes;
}

}  // namespace kv
