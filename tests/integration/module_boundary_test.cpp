#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "loaded_plugin.h"

using ModuleBoundary = LoadedVelquist;

namespace {
template <typename T>
T readAt(const unsigned char* bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

std::string textAt(const unsigned char* bytes, std::size_t offset) {
    return readAt<const char*>(bytes, offset);
}
}  // namespace

TEST_F(ModuleBoundary, DescriptorBytesMatchTheHostsLayout) {
    const auto* bytes = static_cast<const unsigned char*>(module->library().symbol("exports"));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(readAt<std::int32_t>(bytes, 0), 95);
    EXPECT_EQ(readAt<std::uint32_t>(bytes, 4), 0u);
    EXPECT_EQ(textAt(bytes, 8), "Velquist/Velquist.cpp");
    EXPECT_EQ(textAt(bytes, 16), "Velquist");
    EXPECT_EQ(textAt(bytes, 24), "Plugin to manage online status setting");
    EXPECT_EQ(textAt(bytes, 32), "1.0");
    EXPECT_EQ(readAt<std::int32_t>(bytes, 40), 1);
    EXPECT_EQ(readAt<std::uint32_t>(bytes, 44), 0u);
    EXPECT_EQ(readAt<void*>(bytes, 48), module->library().symbol("getPlugin"));
    EXPECT_EQ(readAt<void*>(bytes, 56), module->library().symbol("deleteMe"));
    EXPECT_TRUE(module->descriptorProblems().empty());
}

TEST_F(ModuleBoundary, HolderIsObjectPointerThenControlBlock) {
    loader::PluginHolder* holder = module->getPlugin();
    const auto* bytes = reinterpret_cast<const unsigned char*>(holder);
    EXPECT_EQ(readAt<void*>(bytes, 0), static_cast<void*>(holder->get()));
    EXPECT_NE(readAt<void*>(bytes, 8), nullptr);
}

TEST_F(ModuleBoundary, RepeatedGetPluginGivesOneAddressAndOneObject) {
    loader::PluginHolder* first = module->getPlugin();
    auto* object = first->get();
    loader::PluginHolder* second = module->getPlugin();
    EXPECT_EQ(first, second);
    EXPECT_EQ(second->get(), object);
    EXPECT_EQ(second->use_count(), 1);
}

TEST_F(ModuleBoundary, DeleteMeOnAnEmptyHolderDoesNothing) {
    module->deleteMe();
    module->deleteMe();
    loader::PluginHolder* holder = module->getPlugin();
    ASSERT_TRUE(*holder);
    module->deleteMe();
    EXPECT_FALSE(*holder);
    EXPECT_EQ(holder->get(), nullptr);
    module->deleteMe();
    EXPECT_FALSE(*holder);
}

TEST_F(ModuleBoundary, GetPluginAfterDeleteMeGivesAFreshObjectWithEmptyHandles) {
    plugin();
    module->deleteMe();
    EXPECT_EQ(manager.use_count(), 1);
    loader::PluginHolder* holder = module->getPlugin();
    ASSERT_TRUE(*holder);
    EXPECT_EQ((*holder)->consoleVariables, nullptr);
    EXPECT_EQ((*holder)->hostContext, nullptr);
}

TEST_F(ModuleBoundary, HostCopyKeepsThePluginAliveAfterDeleteMe) {
    plugin();
    loader::PluginHolder* holder = module->getPlugin();
    loader::PluginHolder copy = *holder;
    module->deleteMe();
    EXPECT_FALSE(*holder);
    ASSERT_EQ(copy.use_count(), 1);
    EXPECT_EQ(manager.use_count(), 2);  // the copy's object still holds its handle
    copy->onLoad();
    EXPECT_EQ(value(), "");
    copy.reset();
    EXPECT_EQ(manager.use_count(), 1);
}

TEST_F(ModuleBoundary, UnloadingWhileHoldingReleasesThePluginAndItsHandles) {
    plugin();
    std::weak_ptr<CVarManagerWrapper> watched = manager;
    std::weak_ptr<HostContext> watchedContext = context;
    manager.reset();
    context.reset();
    ASSERT_FALSE(watched.expired());

    const auto path = module->library().path();
    EXPECT_TRUE(module->unload());
    module.reset();
    EXPECT_TRUE(watched.expired());
    EXPECT_TRUE(watchedContext.expired());
    EXPECT_FALSE(loader::Library::isLoaded(path));
}
