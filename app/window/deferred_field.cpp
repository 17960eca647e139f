#include "app/window/deferred_field.h"

#include <QLineEdit>

namespace app {

namespace {
constexpr int kApplyAfterMs = 20;
} // namespace

DeferredFieldText::DeferredFieldText(QLineEdit* field) : QObject(field), field_(field) {
    apply_.setSingleShot(true);
    apply_.setInterval(kApplyAfterMs);
    connect(&apply_, &QTimer::timeout, this, [this] { Apply(); });
}

void DeferredFieldText::Set(const QString& text) {
    pending_ = text;
    if (!apply_.isActive()) apply_.start();
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
