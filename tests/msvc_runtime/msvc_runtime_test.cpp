// What the cross build's own runtime pieces must get right, checked in a DLL
// loaded the way the host loads plugins.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "built_files.h"
#include "loader/library.h"

namespace {

class MsvcRuntime : public ::testing::Test {
protected:
    template <typename Function>
    Function* entry(const char* name) {
        void* address = probe.symbol(name);
        EXPECT_NE(address, nullptr) << name;
        Function* function = nullptr;
        std::memcpy(&function, &address, sizeof address);
        return function;
    }

    loader::Library probe = loader::Library::open(builtModule("runtime_probe"));
};

TEST_F(MsvcRuntime, StaticDestructorsOfADllRunWhenItIsUnloaded) {
    EXPECT_EQ(entry<int()>("probe_constructed_objects")(), 1);
    int destroyed = 0;
    entry<void(int*)>("probe_watch_unload")(&destroyed);
    EXPECT_EQ(entry<int()>("probe_constructed_objects")(), 2);
    EXPECT_EQ(destroyed, 0);

    const auto path = probe.path();
    EXPECT_TRUE(probe.unload());
    EXPECT_EQ(destroyed, 2);  // the global object and the function-local one
    EXPECT_FALSE(loader::Library::isLoaded(path));
}

TEST_F(MsvcRuntime, ExceptionsLeaveTheDllWithTheirMessageAfterUnwindingIt) {
    int unwound = 0;
    try {
        entry<void(const char*, int*)>("probe_throw")("thrown in the DLL", &unwound);
        FAIL() << "nothing was thrown";
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "thrown in the DLL");
    }
    EXPECT_EQ(unwound, 1);

    // A type the program never saw is still caught by its standard base.
    EXPECT_THROW(entry<void()>("probe_throw_derived")(), std::logic_error);
}

TEST_F(MsvcRuntime, FailedAllocationReachesTheCallerAsBadAlloc) {
    auto* allocate = entry<void*(std::size_t)>("probe_allocate");
    EXPECT_THROW(allocate(SIZE_MAX / 2), std::bad_alloc);

    void* memory = allocate(64);
    ASSERT_NE(memory, nullptr);
    entry<void(void*)>("probe_free")(memory);
}

TEST_F(MsvcRuntime, FunctionLocalStaticsInitialiseOnceAcrossThreads) {
    bool allSawTheValue = false;
    EXPECT_EQ(entry<int(int, bool*)>("probe_initialize_from_threads")(8, &allSawTheValue), 1);
    EXPECT_TRUE(allSawTheValue);

    int attempts = 0;
    const char* value = entry<const char*(int*)>("probe_retried_initialization")(&attempts);
    EXPECT_EQ(attempts, 2);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "second attempt");
}

// The layout in which a std::string crosses to the host's SDK library by
// value: the buffer (or a pointer to the text) at 0, the size at 16, the
// capacity at 24.
TEST(MsvcAbi, StringHasTheMsvcLayout) {
    const auto words = [](const std::string& text) {
        std::uint64_t word[4];
        std::memcpy(word, &text, sizeof word);
        return std::make_pair(word[2], word[3]);
    };
    const std::string shortText = "short";
    EXPECT_EQ(words(shortText), std::make_pair(std::uint64_t{5}, std::uint64_t{15}));
    EXPECT_EQ(std::memcmp(&shortText, "short", 6), 0);

    const std::string longText(40, 'x');
    EXPECT_EQ(words(longText).first, 40u);
    EXPECT_GE(words(longText).second, 40u);
    const char* pointer = nullptr;
    std::memcpy(&pointer, &longText, sizeof pointer);
    EXPECT_EQ(pointer, longText.data());
}

}  // namespace
