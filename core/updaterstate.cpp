#include "core/updaterstate.h"

#include <cerrno>

#include "core/namedlines.h"
#include "platform/files.h"

namespace {

constexpr std::string_view kFirstLine = "sendrift-state 1";
constexpr std::string_view kEndName = "end";

bool IsPlainUrlByte(unsigned char c) {
    return c > 0x20 && c < 0x7F && c != '%';
}

std::string EncodedUrl(std::string_view url) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (const unsigned char c : url) {
        if (IsPlainUrlByte(c)) {
            text += char(c);
        } else {
            text += '%';
            text += kHex[c >> 4];
            text += kHex[c & 15];
        }
    }
    return text;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Only the spelling EncodedUrl writes, so that one URL has one line.
std::optional<std::string> DecodedUrl(std::string_view text) {
    std::string url;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            url += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
        if (low < 0 || IsPlainUrlByte(static_cast<unsigned char>(high * 16 + low)))
            return std::nullopt;
        url += char(high * 16 + low);
        i += 2;
    }
    return url;
}

bool IsFieldName(std::string_view name) {
    if (name.empty() || name.front() < 'a' || name.front() > 'z') return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    return true;
}

// The fields of `text`, whose end line has been checked already.
std::optional<UpdaterState> ReadFields(std::string_view text, std::string* error) {
    UpdaterState state;
    namedlines::Reader lines(text);
    bool rotationsGiven = false;
    lines.TakeLine(error);  // the first line, checked by the caller
    while (!lines.AtEnd()) {
        const std::string where = lines.Where();
        const std::string name(lines.NextName());
        if (name == "serial") {
            const std::optional<std::string_view> value = lines.Take(name, error);
            if (!value) return std::nullopt;
            const size_t blank = value->find(' ');
            const std::optional<uint64_t> serial = namedlines::Count(value->substr(0, blank));
            const std::optional<std::string> url = blank == std::string_view::npos
                                                       ? std::nullopt
                                                       : DecodedUrl(value->substr(blank + 1));
            if (!serial || !url) {
                *error = where + " is not \"serial <count> <URL>\"";
                return std::nullopt;
            }
            if (!state.highestSerials.emplace(*url, *serial).second) {
                *error = where + " gives the serial of " + *url + " a second time";
                return std::nullopt;
            }
        } else if (name == "rotations") {
            const std::optional<uint64_t> count = lines.TakeCount(name, error);
            if (!count) return std::nullopt;
            if (rotationsGiven) {
                *error = where + " gives the rotations a second time";
                return std::nullopt;
            }
            rotationsGiven = true;
            state.rotationsFollowed = *count;
        } else if (name == "rollout") {
            const std::optional<uint64_t> number = lines.TakeCount(name, error);
            if (!number) return std::nullopt;
            if (*number > UINT32_MAX) {
                *error = where + ": the rollout number " + std::to_string(*number) + " is above " +
                         std::to_string(UINT32_MAX);
                return std::nullopt;
            }
            if (state.rolloutNumber) {
                *error = where + " gives the rollout number a second time";
                return std::nullopt;
            }
            state.rolloutNumber = uint32_t(*number);
        } else if (name == "learned" || name == "retired") {
            const std::optional<std::string_view> key =
                lines.Take(name, verification::IsPublicKeyText, "public key", error);
            if (!key) return std::nullopt;
            (name == "learned" ? state.learnedKeys : state.retiredKeys).emplace(*key);
        } else if (IsFieldName(name) && name != kEndName) {
            const std::optional<std::string_view> line = lines.TakeLine(error);
            if (!line) return std::nullopt;
            state.laterFields.emplace_back(*line);
        } else {
            *error = where + " is no field";
            return std::nullopt;
        }
    }
    return state;
}

}  // namespace

uint64_t UpdaterState::HighestSerial(const std::string& updateFolderUrl) const {
    const auto found = highestSerials.find(updateFolderUrl);
    return found == highestSerials.end() ? 0 : found->second;
}

std::optional<UpdaterState> ReadUpdaterState(const AnsiString& path, std::string* error) {
    platform::ReadFailure failure;
    const std::optional<std::string> contents = platform::ReadWholeFile(path, &failure);
    if (!contents) {
        if (failure == platform::ReadFailure::Missing) return UpdaterState{};
        *error = platform::ErrorText(path);
        return std::nullopt;
    }
    return ParseUpdaterState(*contents, error);
}

std::optional<UpdaterState> ParseUpdaterState(std::string_view text, std::string* error) {
    // The end line is checked before the fields: a file cut short or changed says so, whatever
    // line the damage made look wrong.
    const size_t lastStart = text.size() < 2 ? 0 : text.rfind('\n', text.size() - 2) + 1;
    const std::string_view body = text.substr(0, lastStart);
    const std::string_view last = text.substr(lastStart);
    const std::string endLine = namedlines::Line(kEndName, verification::Digest(body));
    const std::string_view firstLine = text.substr(0, text.find('\n'));
    if (!text.starts_with(std::string(kFirstLine) + "\n")) {
        *error = firstLine.starts_with("sendrift-state ") &&
                         namedlines::Count(firstLine.substr(firstLine.find(' ') + 1))
                     ? "line 1 names a version of the file that this updater does not know"
                     : "line 1 is not \"" + std::string(kFirstLine) + "\"";
    } else if (!last.starts_with(std::string(kEndName) + " ") || !last.ends_with('\n')) {
        *error = "the file is cut short: its last line is not \"end <SHA-256>\"";
    } else if (last != endLine) {
        *error = "the file was changed or damaged: its end line does not name its SHA-256";
    } else if (std::optional<UpdaterState> state = ReadFields(body, error)) {
        return state;
    }
    *error = "damaged: " + *error;
    return std::nullopt;
}

std::string UpdaterStateText(const UpdaterState& state) {
    using namedlines::Line;
    std::string text = std::string(kFirstLine) + "\n";
    for (const auto& [url, serial] : state.highestSerials)
        text += Line("serial", std::to_string(serial) + " " + EncodedUrl(url));
    if (state.rotationsFollowed != 0)
        text += Line("rotations", std::to_string(state.rotationsFollowed));
    for (const std::string& key : state.learnedKeys) text += Line("learned", key);
    for (const std::string& key : state.retiredKeys) text += Line("retired", key);
    if (state.rolloutNumber) text += Line("rollout", std::to_string(*state.rolloutNumber));
    for (const std::string& line : state.laterFields) text += line + "\n";
    return text + Line(kEndName, verification::Digest(text));
}

bool WriteUpdaterState(const AnsiString& path, const UpdaterState& state, std::string* error) {
    if (platform::ReplaceFileContents(path, UpdaterStateText(state))) return true;
    *error = "cannot write: " + platform::ErrorText(path);
    return false;
}

std::optional<uint32_t> InstallationNumber(const AnsiString& path, std::string* error) {
    std::optional<UpdaterState> state = ReadUpdaterState(path, error);
    if (!state) return std::nullopt;
    if (state->rolloutNumber) return state->rolloutNumber;
    state->rolloutNumber = verification::RandomNumber();
    if (!state->rolloutNumber) {
        *error = "no randomness for the installation's rollout number";
        return std::nullopt;
    }
    if (!WriteUpdaterState(path, *state, error)) return std::nullopt;
    return state->rolloutNumber;
}
