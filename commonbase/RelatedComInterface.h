#pragma once
#include <memory>

namespace commonbase {

// Back pointer from a core object to its automation twin. Weak, so that a
// worker holding the core object never keeps the twin alive.
template <class T>
class RelatedComInterface {
public:
    virtual ~RelatedComInterface() = default;
    void setRelatedComInterface(const std::shared_ptr<T>& twin) { related = twin; }
    std::shared_ptr<T> getRelatedComInterface() const { return related.lock(); }
    void clearRelatedComInterface() { related.reset(); }

private:
    std::weak_ptr<T> related;
};

} // namespace commonbase
