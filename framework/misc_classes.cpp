#include "misc_classes.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <limits>

namespace alg {

ObjectWithProperties* ObjectWithProperties::GetInnerObject(const char*, unsigned short) const {
    return nullptr;
}

bool ObjectWithProperties::GetPropVal(const char*, std::string&) const {
    return false;
}

int ObjectWithProperties::SetPropVal(const char*, const std::string&) {
    return kNoSuchProperty;
}

const char* ObjectWithProperties::GetClassName() const {
    return "null";
}

namespace {

// Resolves every component of `path` but the last; returns the object reached and points
// `last` at the final component, or returns null when a component does not resolve.
template <class Object>
Object* WalkPath(Object* obj, const char* path, const char*& last) {
    const char* dot;
    while ((dot = std::strchr(path, '.')) != nullptr) {
        const std::size_t len = static_cast<std::size_t>(dot - path);
        // A component longer than the length type can express names no child.
        if (len > std::numeric_limits<unsigned short>::max()) return nullptr;
        obj = obj->GetInnerObject(path, static_cast<unsigned short>(len));
        if (obj == nullptr) return nullptr;
        path = dot + 1;
    }
    last = path;
    return obj;
}

}  // namespace

bool ObjectWithProperties::GetProperty(const char* path, std::string& value) const {
    if (path == nullptr) return false;
    const char* last = nullptr;
    const ObjectWithProperties* obj = WalkPath(this, path, last);
    return obj != nullptr && obj->GetPropVal(last, value);
}

int ObjectWithProperties::SetProperty(const char* path, const std::string& value) {
    if (path == nullptr) return kNoSuchProperty;
    const char* last = nullptr;
    ObjectWithProperties* obj = WalkPath(this, path, last);
    return obj != nullptr ? obj->SetPropVal(last, value) : kNoSuchProperty;
}

// ---------------------------------------------------------------------------------------------
// Socket pool
// ---------------------------------------------------------------------------------------------

ALGPoolMember::ALGPoolMember(ALGPool* pool) : pool_(pool) {
    if (pool_ != nullptr) pool_->Add(this);
}

ALGPoolMember::~ALGPoolMember() {
    LeavePool();
}

void ALGPoolMember::JoinPool(ALGPool* pool, int wake) {
    wake_ = wake;
    pool_ = pool;
    if (pool_ != nullptr) pool_->Add(this);
}

void ALGPoolMember::LeavePool() {
    if (pool_ != nullptr) pool_->Remove(this);
    pool_ = nullptr;
}

void ALGPoolMember::QuitSignal() {
    quit_.store(true, std::memory_order_release);
    if (wake_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
    }
}

ALGPool::~ALGPool() {
    threadkit::ObjectLevelLockable::Lock guard(lock_);
    for (ALGPoolMember* member : members_) member->pool_ = nullptr;
    members_.clear();
}

void ALGPool::Add(ALGPoolMember* member) {
    threadkit::ObjectLevelLockable::Lock guard(lock_);
    members_.push_back(member);
    // A socket opened by a session after the stop must not start a wait of its own.
    if (quitSent_) member->QuitSignal();
}

void ALGPool::Remove(ALGPoolMember* member) {
    threadkit::ObjectLevelLockable::Lock guard(lock_);
    std::erase(members_, member);
}

void ALGPool::SendQuitSignal() {
    threadkit::ObjectLevelLockable::Lock guard(lock_);
    quitSent_ = true;
    for (ALGPoolMember* member : members_) member->QuitSignal();
}

bool ALGPool::QuitSent() const {
    threadkit::ObjectLevelLockable::Lock guard(lock_);
    return quitSent_;
}

std::size_t ALGPool::Size() const {
    threadkit::ObjectLevelLockable::Lock guard(lock_);
    return members_.size();
}

// ---------------------------------------------------------------------------------------------
// End of socket pool
// ---------------------------------------------------------------------------------------------

}  // namespace alg
