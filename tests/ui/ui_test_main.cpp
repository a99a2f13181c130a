// The window tests run on Qt's offscreen platform, with one QApplication for the program.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#if defined(__SANITIZE_THREAD__)
// Under ThreadSanitizer: Qt's libraries are not instrumented, so their own threads (the
// thread pool, the file dialog's file-info thread, wait conditions) are reported as racing
// with themselves. Reports with a frame in Qt are left out; ours are not.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so.6\nrace:libQt6Gui.so.6\nrace:libQt6Widgets.so.6\n";
}
#endif

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
