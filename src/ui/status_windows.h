#pragma once
// The information windows of one cell (TfrmCellStatus) and of one row (TfrmRowStatus).
// Both refresh once a second while shown; the cell window's buttons act on its cell
// through the operations (which ask for the row password first).

#include <QWidget>
#include <memory>

class QPushButton;
class QTimer;

namespace kv::ui {

class InfoForm;
class UiContext;

class TfrmCellStatus : public QWidget {
    Q_OBJECT
  public:
    TfrmCellStatus(UiContext& ctx, QWidget* parent = nullptr);
    ~TfrmCellStatus() override;
    void showCell(int physCell);
    void refresh();
    int cell() const { return phys_; }

  private:
    void act(int which);

    UiContext& ctx_;
    int phys_ = 1;
    bool busy_ = false;
    std::unique_ptr<InfoForm> info_;
    QPushButton* start_;
    QPushButton* hold_;
    QPushButton* continue_;
    QPushButton* stop_;
    QPushButton* refill_;
    QTimer* timer_;
};

class TfrmRowStatus : public QWidget {
    Q_OBJECT
  public:
    TfrmRowStatus(UiContext& ctx, QWidget* parent = nullptr);
    ~TfrmRowStatus() override;
    void showRow(int rowNr);
    void refresh();

  private:
    UiContext& ctx_;
    int rowNr_ = 0;
    std::unique_ptr<InfoForm> info_;
    QTimer* timer_;
};

}  // namespace kv::ui
