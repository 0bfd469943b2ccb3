#include <gtest/gtest.h>

#include "built_files.h"
#include "loader/library.h"

namespace {

int ownStatic = 0;

// What lies in a library's image, before and after it goes, and what never did.
TEST(Library, KnowsWhatLiesInItsImageOnlyWhileItIsLoaded) {
    const auto path = builtModule("fixture_noop");
    loader::Library library = loader::Library::open(path);
    void* exported = library.symbol("exports");
    ASSERT_NE(exported, nullptr);
    EXPECT_EQ(library.symbol("noSuchSymbol"), nullptr);
    EXPECT_TRUE(library.contains(exported));
    EXPECT_FALSE(library.contains(&ownStatic));
    EXPECT_TRUE(loader::Library::inLoadedImage(exported));
    EXPECT_TRUE(loader::Library::isLoaded(path));
    EXPECT_TRUE(library.unload());
    EXPECT_FALSE(library.contains(exported));
    EXPECT_EQ(library.symbol("exports"), nullptr);
    EXPECT_FALSE(loader::Library::isLoaded(path));
    EXPECT_TRUE(loader::Library::inLoadedImage(&ownStatic));

    loader::Library empty;
    EXPECT_FALSE(empty.contains(&ownStatic));
    EXPECT_EQ(empty.symbol("exports"), nullptr);
}

}  // namespace
