#pragma once
// A column of named values for the information windows: each line a caption (objectName
// "lbl" + key, translated) and a value label (objectName key) that the window refills.

#include <QString>
#include <map>

class QFormLayout;
class QLabel;
class QWidget;

namespace kv::ui {

class InfoForm {
  public:
    InfoForm(QWidget* owner, QFormLayout* layout) : owner_(owner), layout_(layout) {}
    void add(const char* key, const QString& caption);
    void set(const char* key, const QString& value);
    QLabel* caption(const char* key) const;
    QLabel* value(const char* key) const;

  private:
    QWidget* owner_;
    QFormLayout* layout_;
    std::map<QString, QLabel*> captions_, values_;
};

}  // namespace kv::ui
