// What the relay reads from the window for every message, kept ready instead of read anew.
// At one message a millisecond, reading the account editor's nine fields, converting the
// account list and laying out the recipient field each time cost the GUI thread about a
// tenth of a millisecond per message, on the path between the client's last data and its
// "250 OK".
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>
#include <utility>

class QLineEdit;

namespace app {

// A value computed from widgets, computed again only after one of them has signalled a
// change (connect each source's change signal to Invalidate). Every way a widget's content
// changes, by the user or by code, emits its change signal, so the value is never stale.
template <class Value> class WidgetReading {
  public:
    explicit WidgetReading(std::function<Value()> read) : read_(std::move(read)) {}
    const Value& Get() {
        if (!value_) value_ = read_();
        return *value_;
    }
    void Invalidate() { value_.reset(); }

  private:
    std::function<Value()> read_;
    std::optional<Value> value_;
};

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
