// The send queue ("发送队列"): the messages waiting for a retry and the failed ones kept for a
// resend, as the relay core holds them, with "立即重试" (retry now) and "删除" (delete, asked
// first) for the chosen one. Not modal: it follows the core's queue while it is open, and
// keeps nothing but the rows it shows.
#pragma once

#include "app/core/relay_core.h"

#include <QDialog>
#include <functional>
#include <vector>

class QTableWidget;
class QPushButton;

namespace app {

class QueueDialog : public QDialog {
    Q_OBJECT
  public:
    // `confirm` asks the user a yes/no question (the window's own boxes).
    QueueDialog(RelayCore& core, std::function<bool(const QString&)> confirm,
                QWidget* parent = nullptr);

    // Shows the core's queue as it is now, keeping the chosen message chosen.
    void Refresh();
    // The chosen row's message tried again now / deleted after the question; false when no
    // row is chosen, the answer is No or the message is gone.
    bool RetryChosen();
    bool DeleteChosen();

  private:
    const QueuedMessage* Chosen() const;

    RelayCore& core_;
    std::function<bool(const QString&)> confirm_;
    QTableWidget* table_;
    QPushButton *retry_, *delete_;
    std::vector<QueuedMessage> shown_;
};

} // namespace app
