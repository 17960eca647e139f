#include "app/window_reads.h"

#include <QLineEdit>
#include <QMetaObject>

namespace app {

DeferredFieldText::DeferredFieldText(QLineEdit* field) : QObject(field), field_(field) {}

void DeferredFieldText::Set(const QString& text) {
    bool scheduled = pending_.has_value();
    pending_ = text;
    if (!scheduled)
        QMetaObject::invokeMethod(
            this, [this] { Apply(); }, Qt::QueuedConnection);
}

void DeferredFieldText::Clear() {
    pending_.reset();
    field_->clear();
}

void DeferredFieldText::Apply() {
    if (!pending_) return;
    field_->setText(*pending_);
    pending_.reset();
}

} // namespace app
