#include "ui/status_window.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/config.h"
#include "system/version.h"
#include "ui/translate.h"

namespace kv::ui {

namespace {
QLabel* label(QWidget* parent, QVBoxLayout* layout, const QString& name, const QString& text = {}) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    layout->addWidget(l);
    return l;
}
}  // namespace

TfrmStatus::TfrmStatus(const Config& cfg, QWidget* parent) : QDialog(parent) {
    setObjectName("frmStatus");
    setWindowTitle("Kelvora status information");
    auto* layout = new QVBoxLayout(this);
    QLabel* title = label(this, layout, "lblTitleVersion");
    QFont bold = title->font();
    bold.setBold(true);
    bold.setPointSize(bold.pointSize() + 2);
    title->setFont(bold);
    label(this, layout, "lblSubTitle");
    for (int i = 1; i <= 6; ++i) label(this, layout, QString("lblTraderInfo%1").arg(i));
    label(this, layout, "lblInternalVersion");
    label(this, layout, "lblCreatedBy", "Created by: the Kelvora developers");
    label(this, layout, "lblTradedBy", "Traded by: your Kelvora supplier");
    label(this, layout, "lblHWSW_Info", "Hardware and software: manometric respirometry system");
    label(this, layout, "lblNrCells");
    label(this, layout, "lblCO2Option");
    label(this, layout, "lblCO2Source");
    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("btnOK");
    layout->addWidget(ok, 0, Qt::AlignRight);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    load(cfg);
}

void TfrmStatus::load(const Config& cfg) {
    auto set = [this](const char* name, const QString& text) {
        if (auto* l = findChild<QLabel*>(name)) {
            l->setText(text);
            l->setVisible(!text.isEmpty());
        }
    };
    setWindowTitle(langText("frmStatus", "DefaultTitle", "Kelvora status information"));
    set("lblTitleVersion", qs(cfg.generalVersion) + " - " + qs(cfg.Title));
    set("lblSubTitle", qs(cfg.SubTitle));
    for (int i = 1; i <= 6; ++i)
        set(qPrintable(QString("lblTraderInfo%1").arg(i)),
            qs(cfg.TraderInfo[static_cast<size_t>(i - 1)]));
    set("lblInternalVersion", QString(kVersionText));
    set("lblCreatedBy", langText("frmStatus", "CreatedBy", "Created by: the Kelvora developers"));
    set("lblTradedBy", langText("frmStatus", "TradedBy", "Traded by: your Kelvora supplier"));
    set("lblHWSW_Info", langText("frmStatus", "HWSW_Info",
                                 "Hardware and software: manometric respirometry system"));
    set("lblNrCells",
        langFmt("frmStatus", "lblNrCells", "Nr. of cells: %s", QString::number(cfg.Cells)));
    if (cfg.withCO2) {
        set("lblCO2Option", "CO2-Option");
        set("lblCO2Source", cfg.CDM_Present    ? "CDM-Device"
                            : cfg.EC71_Present ? "EC71-Device"
                                               : "USB/AD-Device");
    } else {
        set("lblCO2Option", {});
        set("lblCO2Source", {});
    }
    if (auto* ok = findChild<QPushButton*>("btnOK")) ok->setText(langText("*", "btnOK", "OK"));
}

}  // namespace kv::ui
