#include "output/qt/gui_app.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdlib>
#include <mutex>

namespace kv {

namespace {

bool hasDisplay() {
    const char* x = std::getenv("DISPLAY");
    const char* w = std::getenv("WAYLAND_DISPLAY");
    return (x != nullptr && *x != '\0') || (w != nullptr && *w != '\0');
}

}  // namespace

bool EnsureGuiApp() {
    static std::mutex m;
    std::lock_guard lock(m);
    if (QCoreApplication::instance() != nullptr)
        return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
    if (!hasDisplay() && std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // QGuiApplication keeps references to argc and argv for its whole life. The object is
    // never deleted: tearing it down among the static destructors at exit is not safe.
    static int argc = 1;
    static char name[] = "kelvora";
    static char* argv[] = {name, nullptr};
    new QGuiApplication(argc, argv);
    return true;
}

}  // namespace kv
