#include <gtest/gtest.h>

#include <stdexcept>

#include "bakkesmod/wrappers/cvarmanagerwrapper.h"
#include "pluginsdk/cvar_registry.h"

TEST(CVarRegistry, RegisteredVariablesCanBeFoundReadWrittenAndListed) {
    CVarManagerWrapper manager;
    manager.registerCvar("b_second", "2");
    manager.registerCvar("a_first", "1");
    EXPECT_EQ(manager.listCvars(), (std::vector<std::string>{"a_first", "b_second"}));

    CVarWrapper variable = manager.getCvar("a_first");
    ASSERT_FALSE(variable.isNull());
    EXPECT_EQ(variable.getName(), "a_first");
    EXPECT_EQ(variable.getStringValue(), "1");
    variable.setValue("changed");
    EXPECT_EQ(manager.getCvar("a_first").getStringValue(), "changed");

    // Registering again keeps the variable and what was written to it.
    manager.registerCvar("a_first", "ignored");
    EXPECT_EQ(manager.getCvar("a_first").getStringValue(), "changed");
}

TEST(CVarRegistry, UnknownNameGivesNullHandleThatChangesNothing) {
    CVarManagerWrapper manager;
    manager.registerCvar("known", "value");
    CVarWrapper unknown = manager.getCvar("unknown");
    EXPECT_TRUE(unknown.isNull());
    unknown.setValue("x");
    EXPECT_EQ(unknown.getStringValue(), "");
    EXPECT_EQ(manager.listCvars(), std::vector<std::string>{"known"});
    EXPECT_EQ(manager.registry().liveHandles(), 0u);
}

TEST(CVarRegistry, CountsHandlesUntilEveryCopyIsGone) {
    CVarManagerWrapper manager;
    manager.registerCvar("v", "");
    {
        CVarWrapper first = manager.getCvar("v");
        CVarWrapper second = first;
        EXPECT_EQ(manager.registry().liveHandles(), 2u);
        second = manager.getCvar("v");
        EXPECT_EQ(manager.registry().liveHandles(), 2u);
    }
    EXPECT_EQ(manager.registry().liveHandles(), 0u);
}

TEST(CVarRegistry, ArmedFailureFiresOnceBeforeAnyEffect) {
    CVarManagerWrapper manager;
    manager.registerCvar("v", "before");
    CVarWrapper variable = manager.getCvar("v");

    manager.registry().failNext(SdkOperation::SetValue, "disk on fire");
    EXPECT_THROW(variable.setValue("after"), std::runtime_error);
    EXPECT_EQ(variable.getStringValue(), "before");
    variable.setValue("after");
    EXPECT_EQ(variable.getStringValue(), "after");

    manager.registry().failNext(SdkOperation::GetCvar, "no");
    EXPECT_THROW(manager.getCvar("v"), std::runtime_error);
    EXPECT_EQ(manager.registry().liveHandles(), 1u);
    EXPECT_THROW(manager.registry().failNext(SdkOperation::ReleaseCvar, ""), std::invalid_argument);
}

TEST(CVarRegistry, RecordsCallsOnlyWhileRecording) {
    CVarManagerWrapper manager;
    manager.registerCvar("v", "");
    manager.getCvar("v").setValue("unrecorded");
    manager.registry().startRecording();
    manager.getCvar("v").setValue("x");
    manager.getCvar("missing");
    const std::vector<SdkCall> expected{{SdkOperation::GetCvar, "v", "v"},
                                        {SdkOperation::SetValue, "v", "x"},
                                        {SdkOperation::ReleaseCvar, "v", ""},
                                        {SdkOperation::GetCvar, "", "missing"}};
    EXPECT_EQ(manager.registry().calls(), expected);
}
