#include "core/namedlines.h"

#include <algorithm>

namespace namedlines {
namespace {

bool Printable(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

}  // namespace

std::string Line(std::string_view name, std::string_view value) {
    std::string line(name);
    line += ' ';
    line += value;
    line += '\n';
    return line;
}

std::optional<uint64_t> Count(std::string_view value) {
    if (value.empty() || value.size() > 19 || (value.size() > 1 && value[0] == '0'))
        return std::nullopt;
    uint64_t count = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return std::nullopt;
        count = count * 10 + uint64_t(c - '0');
    }
    if (count > uint64_t(INT64_MAX)) return std::nullopt;
    return count;
}

std::string_view Reader::NextName() const {
    const std::string_view rest = text_.substr(at_);
    return rest.substr(0, std::min(rest.find(' '), rest.find('\n')));
}

std::string Reader::Where() const {
    return "line " + std::to_string(line_);
}

std::optional<std::string_view> Reader::TakeLine(std::string* error) {
    const size_t end = text_.find('\n', at_);
    if (end == std::string_view::npos) {
        *error = AtEnd() ? "the text ends before " + Where() : Where() + " has no line end";
        return std::nullopt;
    }
    const std::string_view line = text_.substr(at_, end - at_);
    if (!Printable(line)) {
        *error = Where() + " holds a character that is no printable ASCII";
        return std::nullopt;
    }
    at_ = end + 1;
    ++line_;
    return line;
}

std::optional<std::string_view> Reader::Take(std::string_view name, std::string* error) {
    const std::string where = Where();
    std::optional<std::string_view> whole = TakeLine(error);
    if (!whole) return std::nullopt;
    if (whole->size() <= name.size() + 1 || !whole->starts_with(name) ||
        (*whole)[name.size()] != ' ') {
        *error = where + " is not \"" + std::string(name) + " <value>\"";
        return std::nullopt;
    }
    return whole->substr(name.size() + 1);
}

std::optional<std::string_view> Reader::Take(std::string_view name, bool (*valid)(std::string_view),
                                             std::string_view what, std::string* error) {
    const std::string where = Where();
    const std::optional<std::string_view> value = Take(name, error);
    if (!value) return std::nullopt;
    if (!valid(*value)) {
        *error = where + ": \"" + std::string(*value) + "\" is no " + std::string(what);
        return std::nullopt;
    }
    return value;
}

std::optional<uint64_t> Reader::TakeCount(std::string_view name, std::string* error) {
    const std::optional<std::string_view> value = Take(
        name, [](std::string_view text) { return Count(text).has_value(); }, "count", error);
    if (!value) return std::nullopt;
    return Count(*value);
}

}  // namespace namedlines
