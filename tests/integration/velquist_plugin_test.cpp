#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "loaded_plugin.h"

namespace {
const std::vector<SdkCall> kOneLoad{
    {SdkOperation::GetCvar, "cl_online_status_override", "cl_online_status_override"},
    {SdkOperation::SetValue, "cl_online_status_override", ""},
    {SdkOperation::ReleaseCvar, "cl_online_status_override", ""}};
}

using VelquistPlugin = LoadedVelquist;

TEST_F(VelquistPlugin, EveryLoadClearsTheOverrideWithOneGetSetReleaseSequence) {
    auto& velquist = plugin();
    registry().startRecording();
    velquist.onLoad();
    EXPECT_EQ(value(), "");
    manager->getCvar(kVariable).setValue("restored by someone");
    registry().clearCalls();
    velquist.onLoad();
    EXPECT_EQ(value(), "");
    EXPECT_EQ(registry().calls(), kOneLoad);
    EXPECT_EQ(registry().liveHandles(), 0u);
}

TEST_F(VelquistPlugin, UnloadLeavesTheVariableClearedAndCallsNothing) {
    auto& velquist = plugin();
    velquist.onLoad();
    registry().startRecording();
    velquist.onUnload();
    EXPECT_EQ(value(), "");
    EXPECT_TRUE(registry().calls().empty());
}

TEST_F(VelquistPlugin, FailingGetCvarReachesTheCallerAndLeavesThePluginUsable) {
    auto& velquist = plugin();
    registry().startRecording();
    registry().failNext(SdkOperation::GetCvar, "registry locked");
    EXPECT_THROW(
        {
            try {
                velquist.onLoad();
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "registry locked");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_EQ(value(), "online");
    EXPECT_EQ(registry().calls().size(), 1u);
    EXPECT_EQ(registry().liveHandles(), 0u);

    registry().clearCalls();
    velquist.onLoad();
    EXPECT_EQ(registry().calls(), kOneLoad);
    EXPECT_EQ(value(), "");
}

TEST_F(VelquistPlugin, FailingSetValueDestroysTheWrapperBeforeTheExceptionArrives) {
    auto& velquist = plugin();
    registry().startRecording();
    registry().failNext(SdkOperation::SetValue, "read-only");
    EXPECT_THROW(velquist.onLoad(), std::runtime_error);
    EXPECT_EQ(registry().calls(), kOneLoad);  // the release was recorded before the throw arrived
    EXPECT_EQ(registry().liveHandles(), 0u);
    EXPECT_EQ(value(), "online");

    velquist.onLoad();
    EXPECT_EQ(value(), "");
}

TEST_F(VelquistPlugin, LoadWithoutConsoleVariablesReturnsQuietly) {
    loader::PluginHolder& holder = *module->getPlugin();
    ASSERT_EQ(holder->consoleVariables, nullptr);
    holder->onLoad();
    EXPECT_EQ(holder->consoleVariables, nullptr);
    EXPECT_EQ(value(), "online");

    // Handed the manager afterwards, the same object does its job.
    holder->consoleVariables = manager;
    holder->onLoad();
    EXPECT_EQ(value(), "");
}

TEST_F(VelquistPlugin, HostWithoutTheVariableGetsNothingRegistered) {
    auto bare = std::make_shared<CVarManagerWrapper>();
    loader::PluginHolder& holder = *module->getPlugin();
    holder->consoleVariables = bare;
    holder->onLoad();
    EXPECT_TRUE(bare->listCvars().empty());
    EXPECT_EQ(bare->registry().liveHandles(), 0u);
}
