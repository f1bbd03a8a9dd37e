#pragma once

#include <string>
#include <vector>

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;
};

enum TOperation { opInsert, opRemove };

// Base of every component: an owner, a name and the "being destroyed" state.
//
// The owner does not free what it owns (members are std::unique_ptr); it is told when an owned
// component goes away through Notification(component, opRemove), so it can drop its reference.
// A component that is being destroyed stops notifying and stops firing events that the
// documents say are suppressed during destruction.
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner = nullptr);
    ~TComponent() override;

    TComponent* Owner() const noexcept { return owner_; }
    const std::string& Name() const noexcept { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }
    int ComponentCount() const noexcept { return static_cast<int>(components_.size()); }
    TComponent* Components(int index) const { return components_.at(static_cast<size_t>(index)); }

    // True once destruction has begun. Derived destructors call Destroying() first so that
    // everything they trigger on the way out sees the flag.
    bool IsDestroying() const noexcept { return destroying_; }
    void Destroying() noexcept { destroying_ = true; }

    // Told about components inserted into or removed from this one's ownership.
    virtual void Notification(TComponent* component, TOperation operation);

private:
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);

    TComponent* owner_ = nullptr;
    std::string name_;
    std::vector<TComponent*> components_;
    bool destroying_ = false;
};
