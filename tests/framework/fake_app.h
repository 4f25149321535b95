// Stand-ins for the application and its listener where only their properties matter (the
// control channel's status records): fixed string properties, a class name, and inner objects
// found by their class names.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "misc_classes.h"

namespace algtest {

class FakeProperties : public alg::ObjectWithProperties {
  public:
    FakeProperties(std::string className, std::map<std::string, std::string> values)
        : className_(std::move(className)), values_(std::move(values)) {}
    FakeProperties(const FakeProperties&) = delete;
    FakeProperties& operator=(const FakeProperties&) = delete;

    // `inner` must outlive this object.
    void AddInner(FakeProperties& inner) { inner_.push_back(&inner); }

    ObjectWithProperties* GetInnerObject(const char* name, unsigned short len) const override {
        for (FakeProperties* inner : inner_)
            if (std::string_view(inner->className_).substr(0, len) == std::string_view(name, len))
                return inner;
        return nullptr;
    }
    bool GetPropVal(const char* name, std::string& value) const override {
        const auto it = values_.find(name);
        if (it == values_.end()) return false;
        value = it->second;
        return true;
    }
    const char* GetClassName() const override { return className_.c_str(); }

  private:
    std::string className_;
    std::map<std::string, std::string> values_;
    std::vector<FakeProperties*> inner_;
};

// The application ("ProxyApp") with its listener below "Proto".
class FakeApp : public FakeProperties {
  public:
    FakeApp(std::map<std::string, std::string> app, std::map<std::string, std::string> proto)
        : FakeProperties("ProxyApp", std::move(app)), listener("Proto", std::move(proto)) {
        AddInner(listener);
    }

    FakeProperties listener;
};

// The listener's properties.
inline std::map<std::string, std::string> ListenerValues(std::string port, std::string active,
                                                         std::string total, std::string auth) {
    return {{"ListenerPort", std::move(port)},
            {"ActiveRequests", std::move(active)},
            {"TotalRequests", std::move(total)},
            {"AuthSystem", std::move(auth)}};
}

// The application's own properties.
inline std::map<std::string, std::string> AppValues(std::string name, std::string version,
                                                    std::string buildDate) {
    return {{"Name", std::move(name)},
            {"Version", std::move(version)},
            {"BuildDate", std::move(buildDate)}};
}

}  // namespace algtest
