#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "stream_guard.h"

namespace {

TEST(StreamGuard, EveryStandardStreamLeftOnAnotherBufferIsNamedAndPutBack) {
    std::streambuf* const out = std::cout.rdbuf();
    std::streambuf* const err = std::cerr.rdbuf();
    std::streambuf* const log = std::clog.rdbuf();
    std::stringbuf other;

    host::StreamGuard untouched;
    EXPECT_EQ(untouched.check(), "");

    for (std::ostream* stream : {&std::cout, &std::cerr, &std::clog}) {
        host::StreamGuard guard;
        stream->rdbuf(&other);
        const std::string name = stream == &std::cout   ? "std::cout"
                                 : stream == &std::cerr ? "std::cerr"
                                                        : "std::clog";
        EXPECT_EQ(guard.check(),
                  "left " + name + " pointing at a buffer of its own, which goes with the module");
        EXPECT_EQ(guard.check(), "");  // put back
    }
    host::StreamGuard both;
    std::cerr.rdbuf(&other);
    std::clog.rdbuf(&other);
    EXPECT_EQ(both.check(),
              "left std::cerr and std::clog pointing at a buffer of its own, which goes with the "
              "module");
    EXPECT_EQ(std::cout.rdbuf(), out);
    EXPECT_EQ(std::cerr.rdbuf(), err);
    EXPECT_EQ(std::clog.rdbuf(), log);
}

}  // namespace
