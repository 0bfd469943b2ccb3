#include <gtest/gtest.h>

#include "text_escape.h"

namespace {

using host::escapedText;
using host::firstLineEscaped;
using host::utf8WithEscapes;

TEST(TextEscape, ValidUtf8StaysAsItIsBackslashesIncluded) {
    for (const std::string text : {"", "plain", "C:\\src\\a.cpp", "pl\xC3\xBCgins \xE2\x9C\x93",
                                   "\xF0\x9F\x98\x80", "\xC2\xA0 (no-break space)"}) {
        EXPECT_EQ(escapedText(text), text);
        EXPECT_EQ(utf8WithEscapes(text), text);
    }
}

TEST(TextEscape, EveryClassOfControlCharacterIsEscapedForTheTerminal) {
    EXPECT_EQ(escapedText(std::string("\0\x01\x1b[2J\r\n\t", 9)),
              "\\x00\\x01\\x1B[2J\\x0D\\x0A\\x09");
    EXPECT_EQ(escapedText("\x7F"), "\\x7F");
    // C1, U+0080 to U+009F, in UTF-8; U+00A0 is the first that is not one.
    EXPECT_EQ(escapedText("\xC2\x80\xC2\x9B\xC2\x9F\xC2\xA0"),
              "\\xC2\\x80\\xC2\\x9B\\xC2\\x9F\xC2\xA0");
    // The first code points of three and four bytes, and the last there is.
    for (const char* edge : {"\xE0\xA0\x80", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_EQ(escapedText(edge), edge);
    }
    // JSON escapes control characters itself.
    EXPECT_EQ(utf8WithEscapes("\x1b[31m\n\x7F\xC2\x9B"), "\x1b[31m\n\x7F\xC2\x9B");
}

TEST(TextEscape, EveryByteThatIsNotUtf8IsEscapedEverywhere) {
    const std::pair<std::string, std::string> cases[] = {
        {"\x80", "\\x80"},                             // a lone continuation byte
        {"a\xE2\x82", "a\\xE2\\x82"},                  // a truncated sequence
        {"\xC0\xAF", "\\xC0\\xAF"},                    // an overlong '/'
        {"\xE0\x80\xAF", "\\xE0\\x80\\xAF"},           // an overlong '/' in three bytes
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},           // a surrogate
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // past U+10FFFF
        {"\xF0\x8F\xBF\xBF", "\\xF0\\x8F\\xBF\\xBF"},  // an overlong U+FFFF in four bytes
        {"\xC1\xBF", "\\xC1\\xBF"},                    // an overlong form in two
        {"\xff\xfe", "\\xFF\\xFE"},
        {"\xF0\x9F\x98", "\\xF0\\x9F\\x98"},           // four bytes cut to three
        {"\xE2(\xA1", "\\xE2(\\xA1"},                  // a lead byte whose next is no continuation
        {"\xF8\x90\x80\x80", "\\xF8\\x90\\x80\\x80"},  // a lead byte past 0xF4
        {"ok\xff"
         "ok",
         "ok\\xFFok"}};
    for (const auto& [text, escaped] : cases) {
        EXPECT_EQ(utf8WithEscapes(text), escaped);
        EXPECT_EQ(escapedText(text), escaped);
    }
}

TEST(TextEscape, TheFirstLineIsCutAndMarked) {
    EXPECT_EQ(firstLineEscaped("hello\r\nworld"), "hello");
    EXPECT_EQ(firstLineEscaped("\x1b[31mred\n"), "\\x1B[31mred");
    EXPECT_EQ(firstLineEscaped(std::string(300, 'x'), 200), std::string(200, 'x') + " ...");
    EXPECT_EQ(firstLineEscaped(std::string(200, 'x'), 200), std::string(200, 'x'));
    EXPECT_EQ(firstLineEscaped(""), "");
}

}  // namespace
