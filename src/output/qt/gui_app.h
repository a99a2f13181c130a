#pragma once
// Charts and printouts draw text, and Qt finds fonts only once a QGuiApplication exists. The
// window program has its QApplication; the headless program and the tests get one here.

namespace kv {

// Creates a QGuiApplication unless an application object exists already. Without a display
// (no DISPLAY and no WAYLAND_DISPLAY) and without an explicit QT_QPA_PLATFORM, the offscreen
// platform is chosen, so that rendering works on a server. Call it from the main thread
// before any other thread draws; later calls do nothing. False when no application could be
// made.
bool EnsureGuiApp();

}  // namespace kv
