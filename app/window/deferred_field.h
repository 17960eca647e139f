// A field the window sets for every message, laid out lazily.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <optional>

class QLineEdit;

namespace app {

// A read-only field shown for each message: only the newest text is laid out, a moment
// later, so a burst of messages costs one layout instead of one each. Not at once after the
// current event either: that is when the client's next command arrives, and the layout
// (about 0.1 ms) would delay its reply. The window draws at most every 50 ms anyway.
// Set() and Clear() in any order end with the field showing the last of them.
class DeferredFieldText : public QObject {
  public:
    explicit DeferredFieldText(QLineEdit* field);
    void Set(const QString& text);
    // Drops a text still pending and empties the field.
    void Clear();
    // Applies a text still pending now.
    void Apply();

  private:
    QLineEdit* field_;
    std::optional<QString> pending_;
    QTimer apply_;
};

} // namespace app
