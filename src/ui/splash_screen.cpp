#include "ui/splash_screen.h"

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

#include "ui/translate.h"

namespace kv::ui {

namespace {
QLabel* label(QWidget* parent, const char* name, const QString& text = {}) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    return l;
}
QProgressBar* gauge(QWidget* parent, const char* name) {
    auto* g = new QProgressBar(parent);
    g->setObjectName(name);
    g->setRange(0, 100);
    g->setValue(0);
    return g;
}
}  // namespace

TfrmSplashScreen::TfrmSplashScreen(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("frmSplashScreen");
    setWindowTitle("Kelvora/USB Synchronize with Devices ...");
    auto* grid = new QGridLayout(this);
    auto* title = label(this, "lblTitle", "Kelvora");
    QFont big = title->font();
    big.setPointSize(big.pointSize() * 2);
    big.setBold(true);
    title->setFont(big);
    lblTask_ = label(this, "lblTask");
    lblTask_->setMinimumWidth(420);
    lblDevices_ = label(this, "lblDevices", "Devices");
    lblNrDevices_ = label(this, "lblNrDevices", "0");
    tgDevices_ = gauge(this, "tgDevices");
    lblValues_ = label(this, "lblValues", "Values");
    lblNrValues_ = label(this, "lblNrValues", "0");
    tgValues_ = gauge(this, "tgValues");
    btnCancel_ = new QPushButton("Cancel", this);
    btnCancel_->setObjectName("btnCancel");
    grid->addWidget(title, 0, 0, 1, 3);
    grid->addWidget(lblTask_, 1, 0, 1, 3);
    grid->addWidget(lblDevices_, 2, 0);
    grid->addWidget(lblNrDevices_, 2, 1);
    grid->addWidget(tgDevices_, 2, 2);
    grid->addWidget(lblValues_, 3, 0);
    grid->addWidget(lblNrValues_, 3, 1);
    grid->addWidget(tgValues_, 3, 2);
    grid->addWidget(btnCancel_, 4, 2, Qt::AlignRight);
    grid->setColumnStretch(2, 1);
    connect(btnCancel_, &QPushButton::clicked, this, [this] { cancel_ = true; });
    translateWindow(this);
}

void TfrmSplashScreen::onWindowThread(std::function<void()> f) {
    if (QThread::currentThread() == thread()) {
        f();
        repaint();
    } else {
        QMetaObject::invokeMethod(
            this,
            [this, f = std::move(f)] {
                f();
                update();
            },
            Qt::QueuedConnection);
    }
}

void TfrmSplashScreen::showSplash(bool visible) {
    auto apply = [this, visible] {
        // Hidden once by the start-up: from then on only a resynchronisation shows it.
        if (!visible) startupDone_ = true;
        if (visible) clearCancel();
        setVisible(visible);
    };
    if (QThread::currentThread() == thread()) {
        apply();
        return;
    }
    QMetaObject::invokeMethod(this, apply, Qt::QueuedConnection);
}

void TfrmSplashScreen::setTask(const QString& text) {
    onWindowThread([this, text] {
        lblTask_->setText(text);
        if (!startupDone_ && !isVisible()) show();
    });
}

void TfrmSplashScreen::task(const std::string& text) {
    setTask(qs(text));
}

void TfrmSplashScreen::alignmentStarted(int cells) {
    onWindowThread([this, cells] {
        tgValues_->hide();
        lblValues_->hide();
        lblNrValues_->hide();
        lblNrDevices_->setText(QString::number(cells));
        lblDevices_->setText(langText("frmSplashScreen", "Cells", "Cells"));
        tgDevices_->setRange(0, std::max(cells, 1));
        tgDevices_->setValue(0);
    });
}

void TfrmSplashScreen::alignmentProgress(int cell) {
    onWindowThread([this, cell] { tgDevices_->setValue(cell); });
}

void TfrmSplashScreen::devicesStarted(int count) {
    onWindowThread([this, count] {
        lblNrDevices_->setText(QString::number(count));
        tgDevices_->setRange(0, std::max(count, 1));
        tgDevices_->setValue(0);
    });
}

void TfrmSplashScreen::deviceProgress(int done) {
    onWindowThread([this, done] { tgDevices_->setValue(done); });
}

void TfrmSplashScreen::valuesStarted(int entries) {
    onWindowThread([this, entries] {
        lblNrValues_->setText(QString::number(entries));
        tgValues_->setRange(0, 100);
        tgValues_->setValue(0);
    });
}

void TfrmSplashScreen::valuesProgress(int percent) {
    onWindowThread([this, percent] { tgValues_->setValue(std::clamp(percent, 0, 100)); });
}

void TfrmSplashScreen::processMessages() {
    if (QThread::currentThread() == thread()) QCoreApplication::processEvents();
}

}  // namespace kv::ui
