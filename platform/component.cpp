#include "platform/component.h"

#include <algorithm>

namespace platform {

TComponent::~TComponent() {
    DestroyComponents();
}

void TComponent::InsertComponent(std::unique_ptr<TComponent> component) {
    TComponent* raw = component.get();
    raw->owner_ = this;
    components_.push_back(std::move(component));
    Notification(raw, TOperation::opInsert);
}

void TComponent::FreeComponent(TComponent* component) {
    auto it = std::find_if(components_.begin(), components_.end(),
                           [&](const auto& owned) { return owned.get() == component; });
    if (it == components_.end()) return;
    Notification(component, TOperation::opRemove);
    std::unique_ptr<TComponent> doomed = std::move(*it);
    components_.erase(it);
    doomed->destroying_ = true;
    doomed.reset();
}

void TComponent::DestroyComponents() {
    destroying_ = true;
    while (!components_.empty()) FreeComponent(components_.back().get());
}

void TComponent::Notification(TComponent*, TOperation) {}

} // namespace platform
