#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "crypto/mac.h"

namespace host {

// What makes a record in an isolated child's report plugin-host's own: a
// tag under a key the parent gives the child over a pipe that is closed
// once read, which no file, environment or command line ever holds, and a
// number that only rises. A plugin may write any bytes into the report, and
// read every record there, but without reading the child's memory it can
// neither make a record nor replay one, and a record made for one test is
// none for another.
class RecordSeal {
public:
    RecordSeal(std::string key, std::string test);

    const std::string& key() const { return key_; }

    // `body` as the line of record `number`: "BODY NUMBER TAG".
    std::string seal(std::string_view body, std::uint64_t number) const;
    // The body of a line sealed under this key and test whose number is
    // above `last`, which becomes its number; nothing for any other line.
    std::optional<std::string_view> open(std::string_view line, std::uint64_t& last) const;

    // What the child says on standard error when it cannot write its
    // report, sealed the same way: a plugin that prints the words alone
    // cannot make plugin-host blame itself.
    std::string cannotReportLine() const;

private:
    using HexTag = std::array<char, 2 * crypto::kTagBytes>;
    HexTag hexTag(std::string_view message) const;
    HexTag recordTag(std::string_view body, std::string_view number) const;

    std::string key_;
    std::string test_;
    crypto::Mac mac_;
};

}  // namespace host
