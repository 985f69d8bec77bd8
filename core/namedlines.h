// The line form that the updater's small signed and state files share: ASCII lines
// "name value" ended by LF, read strictly. A file in this form has one spelling for what it
// says, so that the bytes a signature covers mean one thing, and a damaged file is found out
// rather than read as something else. Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace namedlines {

// "name value\n"
std::string Line(std::string_view name, std::string_view value);

// A decimal count as these files write it: digits only, no leading zero, at most 2^63 - 1.
std::optional<uint64_t> Count(std::string_view value);

// Reads the lines of `text` one after another.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool AtEnd() const { return at_ == text_.size(); }
    // The bytes read so far: what a signature on the next line covers.
    std::string_view Consumed() const { return text_.substr(0, at_); }
    // The name of the next line (the text before its first blank); empty at the end.
    std::string_view NextName() const;

    // The value of the next line, which must be `name`, one blank, and a value of printable
    // ASCII (at least one character) ended by LF. Nothing otherwise, with `error` saying
    // which line is not what it should be. Reading stops at the first such error: the reader
    // is not to be used after it.
    std::optional<std::string_view> Take(std::string_view name, std::string* error);
    // Take, for a value that `valid` accepts; `what` describes the value for the error.
    std::optional<std::string_view> Take(std::string_view name, bool (*valid)(std::string_view),
                                         std::string_view what, std::string* error);
    // Take, for a value that is a Count.
    std::optional<uint64_t> TakeCount(std::string_view name, std::string* error);

    // The whole next line without its LF, for lines that are kept as they are; nothing when
    // the text ends without an LF or the line holds anything but printable ASCII.
    std::optional<std::string_view> TakeLine(std::string* error);

    // "line N", for errors about the next line.
    std::string Where() const;

private:
    std::string_view text_;
    size_t at_ = 0;
    size_t line_ = 1;
};

}  // namespace namedlines
