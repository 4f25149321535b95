#include "misc_classes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

// A listener-like child with one read-only and one writable property.
class FakeListener : public alg::ObjectWithProperties {
  public:
    int port = 8080;
    std::string mode = "open";

    bool GetPropVal(const char* name, std::string& value) const override {
        if (std::strcmp(name, "ListenerPort") == 0) {
            value = std::to_string(port);
            return true;
        }
        if (std::strcmp(name, "Mode") == 0) {
            value = mode;
            return true;
        }
        return false;
    }
    int SetPropVal(const char* name, const std::string& value) override {
        if (std::strcmp(name, "Mode") != 0) return kNoSuchProperty;
        if (value != "open" && value != "closed") return kInvalidValue;
        mode = value;
        return kPropSet;
    }
    const char* GetClassName() const override { return "Proto"; }
};

// An application-like parent that finds its listener by prefix of the class name.
class FakeApp : public alg::ObjectWithProperties {
  public:
    std::unique_ptr<FakeListener> listener;

    alg::ObjectWithProperties* GetInnerObject(const char* name,
                                              unsigned short length) const override {
        if (listener && std::strncmp(listener->GetClassName(), name, length) == 0)
            return listener.get();
        return nullptr;
    }
    bool GetPropVal(const char* name, std::string& value) const override {
        if (std::strcmp(name, "Name") != 0) return false;
        value = "alg_test";
        return true;
    }
    const char* GetClassName() const override { return "ProxyApp"; }
};

TEST(ObjectWithProperties, BaseHasNothing) {
    alg::ObjectWithProperties base;
    std::string value = "untouched";
    EXPECT_FALSE(base.GetProperty("Anything", value));
    EXPECT_FALSE(base.GetProperty("A.B", value));
    EXPECT_EQ(value, "untouched");
    EXPECT_EQ(base.SetProperty("Anything", "x"), 1);
    EXPECT_STREQ(base.GetClassName(), "null");
}

TEST(ObjectWithProperties, GetPropertyWalksDottedPaths) {
    FakeApp app;
    std::string value = "untouched";
    // No listener yet: the first component resolves to nothing.
    EXPECT_FALSE(app.GetProperty("Proto.ListenerPort", value));
    EXPECT_EQ(value, "untouched");

    app.listener = std::make_unique<FakeListener>();
    EXPECT_TRUE(app.GetProperty("Proto.ListenerPort", value));
    EXPECT_EQ(value, "8080");
    EXPECT_TRUE(app.GetProperty("Name", value));
    EXPECT_EQ(value, "alg_test");

    // A prefix of the class name resolves, an empty component finds the first child.
    value.clear();
    EXPECT_TRUE(app.GetProperty("P.ListenerPort", value));
    EXPECT_EQ(value, "8080");
    value.clear();
    EXPECT_TRUE(app.GetProperty(".ListenerPort", value));
    EXPECT_EQ(value, "8080");

    value = "untouched";
    EXPECT_FALSE(app.GetProperty("proto.ListenerPort", value));     // case matters
    EXPECT_FALSE(app.GetProperty("Protocol.ListenerPort", value));  // longer than the name
    EXPECT_FALSE(app.GetProperty("Proto.ListenerPort.x", value));   // no grandchildren
    EXPECT_FALSE(app.GetProperty("Proto.listenerport", value));     // property names exact
    EXPECT_FALSE(app.GetProperty("Proto.", value));
    EXPECT_FALSE(app.GetProperty(nullptr, value));
    EXPECT_EQ(value, "untouched");
}

TEST(ObjectWithProperties, SetPropertyReportsStatus) {
    FakeApp app;
    EXPECT_EQ(app.SetProperty("Proto.Mode", "closed"), 1);  // no listener
    app.listener = std::make_unique<FakeListener>();
    EXPECT_EQ(app.SetProperty("Pro.Mode", "closed"), 0);
    EXPECT_EQ(app.listener->mode, "closed");
    EXPECT_EQ(app.SetProperty("Proto.Mode", "ajar"), 3);
    EXPECT_EQ(app.listener->mode, "closed");
    EXPECT_EQ(app.SetProperty("Proto.ListenerPort", "1"), 1);
    EXPECT_EQ(app.SetProperty("Xyz.Mode", "open"), 1);
    EXPECT_EQ(app.SetProperty("Proto.Mode.x", "open"), 1);
    EXPECT_EQ(app.SetProperty(nullptr, "open"), 1);
    EXPECT_EQ(app.listener->mode, "closed");
}

}  // namespace
