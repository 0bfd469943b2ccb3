#include <gtest/gtest.h>

#include <new>

#include "allocation_probe.h"
#include "loaded_plugin.h"

namespace probe = allocation_probe;

using AllocationFailure = LoadedVelquist;

TEST_F(AllocationFailure, GetPluginFromEmptyAllocatesTheObjectThenItsControlBlock) {
    probe::reset();
    module->getPlugin();
    EXPECT_EQ(probe::allocations(), 2);
    probe::reset();
    module->getPlugin();
    EXPECT_EQ(probe::allocations(), 0);
}

TEST_F(AllocationFailure, LoadAllocatesNoMoreThanTheHostsOwnDirectCalls) {
    auto& velquist = plugin();
    probe::reset();
    manager->getCvar(kVariable).setValue("");
    const long floor = probe::allocations();
    probe::reset();
    velquist.onLoad();
    EXPECT_LE(probe::allocations(), floor);
    EXPECT_EQ(probe::live(), 0);
}

TEST_F(AllocationFailure, GetPluginWithoutStorageLeavesTheHolderEmptyAndLeaksNothing) {
    loader::PluginHolder* holder = module->getPlugin();
    module->deleteMe();
    for (const long failing : {1L, 2L}) {  // the object, then its control block
        SCOPED_TRACE(failing);
        probe::reset();
        probe::failAt(failing);
        EXPECT_THROW(module->getPlugin(), std::bad_alloc);
        probe::failAt(0);
        EXPECT_FALSE(*holder);
        EXPECT_EQ(holder->use_count(), 0);
        EXPECT_EQ(probe::live(), 0);

        EXPECT_EQ(module->getPlugin(), holder);
        EXPECT_TRUE(*holder);
        module->deleteMe();
    }
}

TEST_F(AllocationFailure, LoadWithoutStorageForTheNameFailsBeforeCallingTheHost) {
    auto& velquist = plugin();
    registry().startRecording();
    probe::reset();
    probe::failAt(1);
    EXPECT_THROW(velquist.onLoad(), std::bad_alloc);
    probe::failAt(0);
    EXPECT_EQ(probe::live(), 0);
    EXPECT_TRUE(registry().calls().empty());
    EXPECT_EQ(value(), "online");
}

// Fails each allocation of a whole getPlugin-to-deleteMe cycle in turn: every
// failure reaches the host as std::bad_alloc, leaves nothing behind once the
// host has called deleteMe, and the next cycle works.
TEST_F(AllocationFailure, EveryAllocationOfACycleCanFail) {
    const auto cycle = [this] {
        BakkesMod::Plugin::BakkesModPlugin& velquist = **module->getPlugin();
        velquist.consoleVariables = manager;
        velquist.hostContext = context;
        velquist.onLoad();
        velquist.onUnload();
        module->deleteMe();
    };
    probe::reset();
    cycle();
    const long total = probe::allocations();
    ASSERT_GE(total, 3);

    for (long failing = 1; failing <= total; ++failing) {
        SCOPED_TRACE(failing);
        registry().find(kVariable)->value = "online";
        probe::reset();
        probe::failAt(failing);
        EXPECT_THROW(cycle(), std::bad_alloc);
        probe::failAt(0);
        module->deleteMe();
        EXPECT_EQ(probe::live(), 0);
        EXPECT_EQ(registry().liveHandles(), 0u);
        EXPECT_EQ(manager.use_count(), 1);
        EXPECT_EQ(context.use_count(), 1);

        cycle();
        EXPECT_EQ(value(), "");
    }
}
