#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bakkesmod/plugin/bakkesmodplugin.h"
#include "bakkesmod/wrappers/cvarmanagerwrapper.h"
#include "pluginsdk/host_context.h"

using BakkesMod::Plugin::BakkesModPlugin;

namespace {

// Host handles whose destruction is written down, to see release order.
struct Handles {
    std::vector<std::string> released;
    std::shared_ptr<CVarManagerWrapper> manager{new CVarManagerWrapper(),
                                                [this](CVarManagerWrapper* p) {
                                                    released.push_back("consoleVariables");
                                                    delete p;
                                                }};
    std::shared_ptr<HostContext> context{new HostContext(), [this](HostContext* p) {
                                             released.push_back("hostContext");
                                             delete p;
                                         }};
};

BakkesModPlugin filledWith(const Handles& handles) {
    BakkesModPlugin plugin;
    plugin.consoleVariables = handles.manager;
    plugin.hostContext = handles.context;
    return plugin;
}

}  // namespace

TEST(PluginBase, DefaultConstructedHasBothHandlesEmpty) {
    BakkesModPlugin plugin;
    EXPECT_EQ(plugin.consoleVariables, nullptr);
    EXPECT_EQ(plugin.hostContext, nullptr);
}

TEST(PluginBase, CopySharesBothHandlesAndGivesThemBack) {
    Handles handles;
    BakkesModPlugin original = filledWith(handles);
    {
        BakkesModPlugin copy(original);
        EXPECT_EQ(copy.consoleVariables, handles.manager);
        EXPECT_EQ(copy.hostContext, handles.context);
        EXPECT_EQ(handles.manager.use_count(), 3);
        EXPECT_EQ(handles.context.use_count(), 3);
    }
    EXPECT_EQ(handles.manager.use_count(), 2);
    EXPECT_EQ(handles.context.use_count(), 2);
}

TEST(PluginBase, MoveTakesBothHandlesWithoutTouchingCounts) {
    Handles handles;
    BakkesModPlugin source = filledWith(handles);
    BakkesModPlugin target(std::move(source));
    EXPECT_EQ(source.consoleVariables, nullptr);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(source.hostContext, nullptr);
    EXPECT_EQ(target.consoleVariables, handles.manager);
    EXPECT_EQ(handles.manager.use_count(), 2);
    EXPECT_EQ(handles.context.use_count(), 2);

    BakkesModPlugin assigned;
    assigned = std::move(target);
    EXPECT_EQ(target.hostContext, nullptr);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(assigned.hostContext, handles.context);
    EXPECT_EQ(handles.manager.use_count(), 2);
    EXPECT_EQ(handles.context.use_count(), 2);
}

TEST(PluginBase, SelfAssignmentChangesNothing) {
    Handles handles;
    BakkesModPlugin plugin = filledWith(handles);
    BakkesModPlugin& alias = plugin;
    plugin = alias;
    EXPECT_EQ(plugin.consoleVariables, handles.manager);
    EXPECT_EQ(handles.manager.use_count(), 2);
    EXPECT_EQ(handles.context.use_count(), 2);
    plugin = std::move(alias);
    EXPECT_EQ(plugin.consoleVariables, handles.manager);
    EXPECT_EQ(plugin.hostContext, handles.context);
    EXPECT_EQ(handles.manager.use_count(), 2);
    EXPECT_EQ(handles.context.use_count(), 2);
    EXPECT_TRUE(handles.released.empty());
}

TEST(PluginBase, DestructionReleasesHostContextBeforeConsoleVariables) {
    Handles handles;
    {
        BakkesModPlugin plugin = filledWith(handles);
        handles.manager.reset();
        handles.context.reset();
    }
    EXPECT_EQ(handles.released, (std::vector<std::string>{"hostContext", "consoleVariables"}));
}

TEST(PluginBase, AssignmentReleasesOldHandlesConsoleVariablesFirst) {
    Handles old;
    Handles fresh;
    BakkesModPlugin target = filledWith(old);
    old.manager.reset();
    old.context.reset();
    const BakkesModPlugin source = filledWith(fresh);

    target = source;
    EXPECT_EQ(old.released, (std::vector<std::string>{"consoleVariables", "hostContext"}));
    EXPECT_EQ(fresh.manager.use_count(), 3);
    EXPECT_EQ(fresh.context.use_count(), 3);
}

// The host calls onLoad and onUnload through the first two slots of the
// virtual table, so nothing may come before them (no virtual destructor).
TEST(PluginBase, OnLoadAndOnUnloadAreTheFirstTwoVirtualSlots) {
    struct Recorder : BakkesModPlugin {
        void onLoad() override { calls.push_back("onLoad"); }
        void onUnload() override { calls.push_back("onUnload"); }
        std::vector<std::string> calls;
    } plugin;
    using Slot = void (*)(BakkesModPlugin*);
    // The virtual table pointer is the object's first word.
    const void* object = static_cast<BakkesModPlugin*>(&plugin);
    const Slot* table = nullptr;
    std::memcpy(&table, object, sizeof table);
    table[0](&plugin);
    table[1](&plugin);
    EXPECT_EQ(plugin.calls, (std::vector<std::string>{"onLoad", "onUnload"}));
}
