// Named text properties reachable by dotted paths ("Proto.ActiveRequests"): the base of every
// object that access filters or the monitoring channel read.
#pragma once

#include <string>

namespace alg {

// Property access by name. Property names compare exactly; a path component finds a child
// whose class name begins with that component. All values are text.
class ObjectWithProperties {
  public:
    // Status codes of SetPropVal / SetProperty.
    static constexpr int kPropSet = 0;
    static constexpr int kNoSuchProperty = 1;
    static constexpr int kInvalidValue = 3;

    // The child named by the first `length` characters of `name` (not zero-terminated there),
    // or null. Base: null.
    virtual ObjectWithProperties* GetInnerObject(const char* name, unsigned short length) const;
    // True and `value` set when this object has property `name`; else false, `value` untouched.
    virtual bool GetPropVal(const char* name, std::string& value) const;
    // 0 when set, 1 when there is no such property, 3 when the value is not valid for it.
    virtual int SetPropVal(const char* name, const std::string& value);
    // The name by which a parent's GetInnerObject finds this object. Base: "null".
    virtual const char* GetClassName() const;
    virtual ~ObjectWithProperties() = default;

    // Walks `path` through inner objects and reads the last component; false when `path` is
    // null or any component does not resolve.
    bool GetProperty(const char* path, std::string& value) const;
    // Walks `path` like GetProperty and sets the last component; 1 when a component does not
    // resolve or `path` is null.
    int SetProperty(const char* path, const std::string& value);
};

// ---------------------------------------------------------------------------------------------
// Socket pool
// ---------------------------------------------------------------------------------------------

}  // namespace alg

#include <atomic>
#include <cstddef>
#include <vector>

#include "threadkit.h"

namespace alg {

class ALGPool;

// Anything a pool can tell to quit. Joins its pool (when given) at construction and leaves it at
// destruction; a member with a wake-up descriptor joins through JoinPool once the descriptor
// exists and leaves through LeavePool before closing it. The quit flag is raised once, from any
// thread, and never lowered. Not copyable.
class ALGPoolMember {
  public:
    explicit ALGPoolMember(ALGPool* pool = nullptr);
    virtual ~ALGPoolMember();
    ALGPoolMember(const ALGPoolMember&) = delete;
    ALGPoolMember& operator=(const ALGPoolMember&) = delete;

    // Raises the quit flag and wakes the descriptor given to JoinPool; safe from any thread.
    // Not virtual: a pool signals members that other threads are still building or destroying,
    // when no override may run.
    void QuitSignal();
    bool QuitRaised() const { return quit_.load(std::memory_order_acquire); }
    ALGPool* Pool() const { return pool_; }

  protected:
    // Joins `pool` (null: none); every later QuitSignal writes 1 to the eventfd `wake` (-1:
    // none), which must stay open until LeavePool.
    void JoinPool(ALGPool* pool, int wake);
    // Leaves the pool joined, if any; no signal reaches the member afterwards.
    void LeavePool();

  private:
    friend class ALGPool;
    ALGPool* pool_;
    int wake_ = -1;
    std::atomic<bool> quit_{false};
};

// The members that one stop must reach (not owned). Add, Remove and SendQuitSignal run under
// the pool's recursive lock, so a member cannot leave while it is being signalled. Once
// signalled, the pool stays signalled: a member joining afterwards is told to quit at once.
class ALGPool {
  public:
    ALGPool() = default;
    // Detaches the members still listed, so their later destruction does not touch the pool.
    virtual ~ALGPool();
    ALGPool(const ALGPool&) = delete;
    ALGPool& operator=(const ALGPool&) = delete;

    void Add(ALGPoolMember* member);
    // Drops every entry equal to `member`.
    void Remove(ALGPoolMember* member);
    // Calls QuitSignal() on every member in the order they joined.
    void SendQuitSignal();
    bool QuitSent() const;
    std::size_t Size() const;

  private:
    threadkit::ObjectLevelLockable lock_;
    std::vector<ALGPoolMember*> members_;
    bool quitSent_ = false;
};

// ---------------------------------------------------------------------------------------------
// End of socket pool
// ---------------------------------------------------------------------------------------------

}  // namespace alg
