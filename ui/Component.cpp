#include "ui/Component.h"

#include <algorithm>

TComponent::TComponent(TComponent* owner) {
    if (owner)
        owner->InsertComponent(this);
}

TComponent::~TComponent() {
    destroying_ = true;
    // Components outliving their owner simply lose it; they are not freed here.
    for (TComponent* child : components_)
        child->owner_ = nullptr;
    components_.clear();
    if (owner_)
        owner_->RemoveComponent(this);
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::InsertComponent(TComponent* component) {
    component->owner_ = this;
    components_.push_back(component);
    Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
    auto it = std::find(components_.begin(), components_.end(), component);
    if (it != components_.end())
        components_.erase(it);
    component->owner_ = nullptr;
    if (!destroying_)
        Notification(component, opRemove);
}
