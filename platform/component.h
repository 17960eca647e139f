// The component base: an owner that frees what it owns, a name, and insert/remove
// notifications that let an owner keep lists of its components in step.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace platform {

class TComponent {
  public:
    enum class TOperation { opInsert, opRemove };

    explicit TComponent(TComponent* owner = nullptr) : owner_(owner) {}
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }
    bool Destroying() const { return destroying_; }

    // Takes ownership of a fully constructed component and announces it (opInsert).
    template <typename T> T* Adopt(std::unique_ptr<T> component) {
        T* raw = component.get();
        InsertComponent(std::unique_ptr<TComponent>(component.release()));
        return raw;
    }
    // Frees an owned component now (announced as opRemove).
    void FreeComponent(TComponent* component);

  protected:
    // Called with opInsert after adoption and with opRemove before an owned component is
    // freed. Overrides must not free components.
    virtual void Notification(TComponent* component, TOperation operation);
    // Derived destructors call this first, so that owned components go while the owner is
    // still whole (a component's destruction may still reach its owner).
    void DestroyComponents();
    void MarkDestroying() { destroying_ = true; }

  private:
    void InsertComponent(std::unique_ptr<TComponent> component);

    TComponent* owner_;
    std::string name_;
    bool destroying_ = false;
    std::vector<std::unique_ptr<TComponent>> components_;
};

} // namespace platform
