#pragma once
// The password prompt: a title, one hidden entry field ("Password"), OK and Cancel.

#include <QDialog>

class QLabel;
class QLineEdit;

namespace kv::ui {

class TfrmPassWd : public QDialog {
    Q_OBJECT
  public:
    explicit TfrmPassWd(QWidget* parent = nullptr);
    // Shows the prompt modally with an empty field; false when cancelled. An empty title
    // shows "Enter valid password".
    bool ask(const QString& title, QString& entry);

  private:
    QLabel* title_;
    QLineEdit* password_;
};

}  // namespace kv::ui
