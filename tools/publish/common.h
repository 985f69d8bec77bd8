// What the commands of sendrift-publish share: how they fail, how they print code-page text
// and paths, and the refusals that guard every folder and key they touch.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/inifile.h"
#include "platform/text.h"

namespace publish {

// A failure to report; main prints it and exits with 1.
struct Failure {
    std::string message;
};

// A path from the command line as code-page text.
AnsiString CodePagePath(const char* native);
// The older version and its folder that a "--from OLDV=OLDDIR" names; nothing without "=".
std::optional<std::pair<AnsiString, AnsiString>> OlderRelease(const char* argument);

// Code-page text for the terminal.
std::string Printable(const AnsiString& codePageText);
// A path as the file system knows it, for messages and for commands to copy from them.
std::string PrintablePath(const AnsiString& path);

std::string ReadOrFail(const AnsiString& path);
// Replaces the file's contents (platform::ReplaceFileContents), or throws Failure saying why.
void WriteOrFail(const AnsiString& path, const std::string& contents);

// `word` as one word of a shell command line.
std::string ShellWord(const std::string& word);

// Refuses `name` when it, or a folder on the way to it, is a symbolic link in `folder`.
void RefuseLinks(const AnsiString& folder, const AnsiString& name);

// Refuses a secret key file that anyone but its owner may use.
void RefuseOpenSecretKey(const AnsiString& path);

struct SecretKey {
    std::string secret;     // the file's text
    std::string publicKey;  // the public key that goes with it
};
// The secret key in the file at `path`, after RefuseOpenSecretKey; throws Failure when the file
// cannot be read or holds no secret key.
SecretKey ReadSecretKey(const AnsiString& path);

// True for the sections that hold no entries to install: [VERSION], [RUN], [SHA256], [SIZE],
// [DELTA] and [ROLLOUT].
bool IsBookkeepingSection(const AnsiString& section);

// Every file the wizard may fetch for this manifest, each spelling once, in file order: the
// names in the entry values of the upgrade sections, the components of [DLL], and the patches
// that [DELTA] names.
std::vector<AnsiString> ListedFileNames(const TIniFile& manifest);

// The size in bytes of the regular file at `path`; -1 when it cannot be examined.
int64_t FileSize(const AnsiString& path);

// The count followed by the noun that goes with it: "1 patch", "2 patches".
std::string Counted(size_t count, const char* one, const char* many);

// `left` joined to the relative name `name` with a backslash, as the wizard joins paths.
AnsiString JoinPath(const AnsiString& left, const AnsiString& name);

}  // namespace publish
