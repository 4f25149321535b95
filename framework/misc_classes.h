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

// ---------------------------------------------------------------------------------------------
// End of socket pool
// ---------------------------------------------------------------------------------------------

}  // namespace alg
