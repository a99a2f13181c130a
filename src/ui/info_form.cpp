#include "ui/info_form.h"

#include <QFormLayout>
#include <QLabel>

namespace kv::ui {

void InfoForm::add(const char* key, const QString& caption) {
    auto* c = new QLabel(caption, owner_);
    c->setObjectName(QString("lbl") + key);
    auto* v = new QLabel(owner_);
    v->setObjectName(key);
    v->setTextInteractionFlags(Qt::TextSelectableByMouse);
    v->setMinimumWidth(160);
    layout_->addRow(c, v);
    captions_[key] = c;
    values_[key] = v;
}

void InfoForm::set(const char* key, const QString& value) {
    if (QLabel* v = this->value(key)) v->setText(value);
}

QLabel* InfoForm::caption(const char* key) const {
    const auto it = captions_.find(key);
    return it == captions_.end() ? nullptr : it->second;
}

QLabel* InfoForm::value(const char* key) const {
    const auto it = values_.find(key);
    return it == values_.end() ? nullptr : it->second;
}

}  // namespace kv::ui
