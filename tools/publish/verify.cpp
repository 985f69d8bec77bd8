#include "tools/publish/verify.h"

#include <curl/curl.h>

#include <charconv>
#include <iostream>
#include <string_view>
#include <vector>

#include <QTemporaryDir>

#include "core/delta.h"
#include "core/displaytext.h"
#include "core/inifile.h"
#include "core/manifest.h"
#include "core/updateserver.h"
#include "core/verification.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "tools/publish/common.h"

namespace publish {
namespace {

class Problems {
public:
    void Add(const std::string& line) {
        std::cout << line << "\n";
        ++count_;
    }
    size_t Count() const { return count_; }

private:
    size_t count_ = 0;
};

std::string Quoted(const AnsiString& text) {
    return "\"" + Printable(text) + "\"";
}

std::string PublicKeyText(const AnsiString& given) {
    if (platform::FileExists(given)) {
        const std::optional<std::string> contents = platform::ReadWholeFile(given);
        if (!contents) throw Failure{"cannot read " + PrintablePath(given)};
        return std::string(TrimBlanks(*contents));
    }
    return given;
}

// Names in the manifest that the wizard would refuse to fetch, write or run, and [DLL] dates
// that it cannot compare.
void CheckNames(const TIniFile& manifest, Problems& problems) {
    std::vector<AnsiString> sections, keys;
    manifest.SectionNames(sections);
    for (const AnsiString& section : sections) {
        const bool patches = SameTextIgnoringCase(section, delta::kPatchSection);
        if (IsBookkeepingSection(section) && !patches) continue;
        const bool components = SameTextIgnoringCase(section, "DLL");
        manifest.KeyNames(section, keys);
        for (const AnsiString& key : keys) {
            const AnsiString value = manifest.ReadEntry(section, key);
            const std::string line =
                "[" + Printable(section) + "] " + Printable(key) + "=" + Printable(value) + ": ";
            if (patches) {
                if (!delta::ParsePatchLine(value))
                    problems.Add(line + "no base's SHA-256 and patch name in " +
                                 delta::kPatchFolder + "\\");
            } else if (components) {
                if (!IsSafeRelativeName(key)) problems.Add(line + "a name the wizard refuses");
                try {
                    DateFromText(value);
                } catch (const Exception&) {
                    problems.Add(line + "no date (yyyy-mm-dd)");
                }
            } else if (!IsSafeEntry(value) || EntryFileName(value).empty()) {
                problems.Add(line + "a name the wizard refuses");
            }
        }
    }
}

void CheckFiles(const AnsiString& folder, const TIniFile& manifest,
                const std::vector<AnsiString>& names, Problems& problems) {
    std::vector<AnsiString> sizes;
    for (const AnsiString& name : names) {
        const AnsiString path = JoinPath(folder, name);
        try {
            RefuseLinks(folder, name);
        } catch (const Failure& link) {
            problems.Add(link.message);
            continue;
        }
        const int64_t size = FileSize(path);
        if (size < 0) {
            problems.Add(Printable(name) + ": missing");
            continue;
        }
        manifest.ReadEntries(kSizeSection, name, sizes);
        if (sizes.empty()) problems.Add(Printable(name) + ": no [SIZE]");
        for (const AnsiString& listed : sizes) {
            const std::optional<uint64_t> value = DecimalCount(listed, INT64_MAX);
            if (!value)
                problems.Add(Printable(name) + ": [SIZE] " + Quoted(listed) + " is no size");
            else if (int64_t(*value) != size)
                problems.Add(Printable(name) + ": [SIZE] says " + std::to_string(*value) +
                             " bytes, the file has " + std::to_string(size));
        }
        switch (verification::CheckFile(manifest, name, path)) {
            case verification::FileCheck::Unlisted:
                problems.Add(Printable(name) + ": no [SHA256] digest");
                break;
            case verification::FileCheck::Fails:
                problems.Add(Printable(name) + ": differs from its [SHA256] digest");
                break;
            case verification::FileCheck::Matches:
                break;
        }
    }
}

// Rebuilds, for each copy entry of an older version's section whose file its folder holds,
// the file from the patch that [DELTA] offers for that base, as the wizard would. Returns the
// number of patches rebuilt.
size_t CheckPatches(const AnsiString& folder, const AnsiString& manifestPath,
                    const std::vector<std::pair<AnsiString, AnsiString>>& from,
                    Problems& problems) {
    const TIniSnapshot manifest(manifestPath);
    QTemporaryDir work;
    if (!work.isValid()) throw Failure{"cannot make a temporary folder"};
    const AnsiString rebuilt = JoinPath(platform::FromUnicode(work.path()), "rebuilt");
    size_t count = 0;
    for (const auto& [version, older] : from) {
        for (const TIniSnapshot::Entry& entry : manifest.Entries(version)) {
            const AnsiString file = EntryFileName(entry.value);
            const AnsiString base = JoinPath(older, file);
            if (!IsCopyEntry(entry.value) || !IsSafeEntry(entry.value) ||
                !platform::FileExists(base))
                continue;
            const std::optional<AnsiString> digest = verification::FileDigest(base);
            if (!digest) throw Failure{"cannot read " + PrintablePath(base)};
            const std::optional<delta::Patch> patch = delta::ChoosePatch(manifest, file, *digest);
            if (!patch) continue;
            const std::optional<uint64_t> size =
                DecimalCount(manifest.ReadEntry(kSizeSection, file), INT64_MAX);
            const delta::Rebuilt result =
                delta::Rebuild(base, JoinPath(folder, patch->name),
                               {rebuilt, int64_t(size.value_or(0)),
                                manifest.ReadEntries(verification::kDigestSection, file)});
            if (!result)
                problems.Add(Printable(file) + ": the patch does not rebuild it from " +
                             Printable(version) + "'s file: " + Printable(result.failure));
            platform::DeleteFile(rebuilt);
            ++count;
        }
    }
    return count;
}

struct Response {
    long status = 0;
    std::string header, body;
    std::string error;  // empty when the transfer completed
};

size_t Collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// One request as the wizard makes it: HTTP/1.0, no redirect followed.
Response Ask(const std::string& url, bool head) {
    Response response;
    CURL* curl = curl_easy_init();
    if (!curl) {
        response.error = "cannot start a transfer";
        return response;
    }
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(curl, CURLOPT_NOBODY, long(head));
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response.header);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    const CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK) response.error = *error ? error : curl_easy_strerror(result);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
    curl_easy_cleanup(curl);
    return response;
}

// The line for a response that did not arrive as 200; empty when it did.
std::string Failed(const char* method, const std::string& url, const Response& response) {
    if (!response.error.empty()) return std::string(method) + " " + url + ": " + response.error;
    if (response.status != 200)
        return std::string(method) + " " + url + ": status " + std::to_string(response.status);
    return {};
}

void CheckServer(const std::string& base, const AnsiString& folder,
                 const std::vector<AnsiString>& names, Problems& problems) {
    const std::string updateFolder = base + "/Update/";
    std::vector<const char*> published{"Version.txt", "Version.ini"};
    if (platform::FileExists(JoinPath(folder, verification::kSignatureFileName)))
        published.push_back(verification::kSignatureFileName);
    for (const char* file : published) {
        const std::string url = updateFolder + file;
        const Response response = Ask(url, false);
        if (const std::string failed = Failed("GET", url, response); !failed.empty()) {
            problems.Add(failed);
            continue;
        }
        const std::optional<std::string> local = platform::ReadWholeFile(JoinPath(folder, file));
        if (!local || *local != response.body)
            problems.Add("GET " + url + ": differs from " + PrintablePath(JoinPath(folder, file)));
    }
    for (const AnsiString& name : names) {
        const std::string url = updateFolder + UrlPathOf(name);
        const Response response = Ask(url, true);
        if (const std::string failed = Failed("HEAD", url, response); !failed.empty()) {
            problems.Add(failed);
            continue;
        }
        const int64_t size = FileSize(JoinPath(folder, name));
        const AnsiString announced = SizeFromHeader(response.header);
        if (size >= 0 && announced != std::to_string(size))
            problems.Add("HEAD " + url + ": announces " + announced + " bytes, the file has " +
                         std::to_string(size));
    }
}

}  // namespace

std::optional<VerifyOptions> ParseVerifyOptions(int argc, char* argv[]) {
    VerifyOptions o;
    bool haveFolder = false;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--key" && i + 1 < argc) {
            o.publicKey = CodePagePath(argv[++i]);
        } else if (arg == "--from" && i + 1 < argc) {
            const auto from = OlderRelease(argv[++i]);
            if (!from) return std::nullopt;
            o.from.push_back(*from);
        } else if (arg == "--url" && i + 1 < argc) {
            o.url = argv[++i];
            while (!o.url->empty() && o.url->back() == '/') o.url->pop_back();
        } else if (!arg.starts_with("--") && !haveFolder) {
            o.folder = CodePagePath(argv[i]);
            haveFolder = true;
        } else {
            return std::nullopt;
        }
    }
    if (!haveFolder) return std::nullopt;
    return o;
}

bool Verify(const VerifyOptions& o) {
    Problems problems;
    const TIniFile manifest(JoinPath(o.folder, "Version.ini"));
    const std::optional<std::string> manifestBytes = platform::ReadWholeFile(manifest.FileName());
    if (!manifestBytes) throw Failure{"cannot read " + PrintablePath(manifest.FileName())};
    const std::optional<std::string> key =
        o.publicKey ? std::optional(PublicKeyText(*o.publicKey)) : std::nullopt;

    const AnsiString version = manifest.ReadEntry("VERSION", "VERSION");
    if (version.empty()) problems.Add("Version.ini: no [VERSION] VERSION");
    if (const std::optional<std::string> text =
            platform::ReadWholeFile(JoinPath(o.folder, "Version.txt"));
        !text) {
        problems.Add("Version.txt: missing");
    } else if (*text != version) {
        problems.Add("Version.txt: says " + Quoted(*text) + ", [VERSION] VERSION " +
                     Quoted(version));
    } else if (text->size() >= 10) {
        problems.Add("Version.txt: " + Quoted(*text) +
                     " has 10 bytes or more; the wizard takes it for no version");
    }

    CheckNames(manifest, problems);
    std::vector<AnsiString> names;
    for (const AnsiString& name : ListedFileNames(manifest))
        if (IsSafeRelativeName(name)) names.push_back(name);
    CheckFiles(o.folder, manifest, names, problems);

    if (key) {
        const AnsiString signaturePath = JoinPath(o.folder, verification::kSignatureFileName);
        const std::optional<std::string> signature = platform::ReadWholeFile(signaturePath);
        if (!signature)
            problems.Add(std::string(verification::kSignatureFileName) + ": missing");
        else if (!verification::SignatureIsValid(*manifestBytes, *signature, *key))
            problems.Add(std::string(verification::kSignatureFileName) +
                         ": no valid signature of Version.ini by the given key");
    }
    if (o.url) CheckServer(*o.url, o.folder, names, problems);
    const size_t rebuilt = CheckPatches(o.folder, manifest.FileName(), o.from, problems);

    if (problems.Count() != 0) return false;
    std::cout << "ok: " << names.size() << " files"
              << (rebuilt ? ", " + Counted(rebuilt, "patch", "patches") + " rebuilt" : "")
              << (o.url ? ", and the server agrees" : "") << "\n";
    return true;
}

}  // namespace publish
