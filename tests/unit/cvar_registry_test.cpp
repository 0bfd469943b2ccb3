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
        // Assigning moves a handle to the other variable; to itself, nowhere.
        manager.registerCvar("w", "");
        const CVarWrapper other = manager.getCvar("w");
        second = other;
        EXPECT_EQ(second.getName(), "w");
        CVarWrapper& same = second;
        second = same;
        EXPECT_EQ(second.getName(), "w");
        EXPECT_EQ(manager.registry().liveHandles(), 3u);
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

// Each operation that can fail, armed once, twice or with the other one:
// how many calls fail, with which message, and what is left of each.
TEST(CVarRegistry, EveryArmedFailureFiresExactlyOnceForItsOwnOperation) {
    // A handle taken before any failure is armed, for setValue alone.
    const auto call = [](CVarManagerWrapper& manager, CVarWrapper& handle,
                         SdkOperation operation) -> std::string {
        try {
            if (operation == SdkOperation::GetCvar) {
                manager.getCvar("v");
            } else {
                handle.setValue("written");
            }
            return "ok";
        } catch (const std::runtime_error& error) {
            return error.what();
        }
    };
    for (const SdkOperation armed : {SdkOperation::GetCvar, SdkOperation::SetValue}) {
        const SdkOperation other =
            armed == SdkOperation::GetCvar ? SdkOperation::SetValue : SdkOperation::GetCvar;
        SCOPED_TRACE(toString(armed));
        CVarManagerWrapper manager;
        manager.registerCvar("v", "before");
        CVarWrapper handle = manager.getCvar("v");
        manager.registry().startRecording();
        manager.registry().failNext(armed, "first");
        manager.registry().failNext(armed, "second");  // arming again replaces, adds nothing
        EXPECT_EQ(call(manager, handle, other), "ok");
        EXPECT_EQ(call(manager, handle, armed), "second");
        EXPECT_EQ(manager.getCvar("v").getStringValue(),
                  armed == SdkOperation::SetValue ? "before" : "written");
        EXPECT_EQ(manager.registry().liveHandles(), 1u);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(call(manager, handle, armed), "ok");
        }
        // Fired and spent, it can be armed again, alongside the other.
        manager.registry().failNext(armed, "again");
        manager.registry().failNext(other, "other");
        EXPECT_EQ(call(manager, handle, SdkOperation::GetCvar),
                  armed == SdkOperation::GetCvar ? "again" : "other");
        EXPECT_EQ(call(manager, handle, SdkOperation::SetValue),
                  armed == SdkOperation::SetValue ? "again" : "other");
        EXPECT_EQ(call(manager, handle, SdkOperation::SetValue), "ok");
        // A failed call is recorded: the plugin made it.
        std::size_t sets = 0;
        for (const SdkCall& recorded : manager.registry().calls()) {
            sets += recorded.operation == SdkOperation::SetValue;
        }
        EXPECT_EQ(sets, armed == SdkOperation::SetValue ? 6u : 3u);
    }
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

// Tests of plugins compare recorded calls with ==: a call that differs in any
// one field is another call.
TEST(CVarRegistry, RecordedCallsAreEqualOnlyWhenAlikeInEveryField) {
    const SdkCall call{SdkOperation::SetValue, "v", "x"};
    EXPECT_EQ(call, (SdkCall{SdkOperation::SetValue, "v", "x"}));
    for (const SdkCall& other :
         {SdkCall{SdkOperation::GetCvar, "v", "x"}, SdkCall{SdkOperation::SetValue, "w", "x"},
          SdkCall{SdkOperation::SetValue, "v", "y"}}) {
        EXPECT_FALSE(call == other)
            << toString(other.operation) << " " << other.variable << " " << other.argument;
    }
}
