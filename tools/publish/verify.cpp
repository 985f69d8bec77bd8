#include "tools/publish/verify.h"

#include <curl/curl.h>

#include <charconv>
#include <iostream>
#include <set>
#include <string_view>
#include <vector>

#include <QTemporaryDir>

#include "core/delta.h"
#include "core/displaytext.h"
#include "core/inifile.h"
#include "core/keyrotation.h"
#include "core/manifest.h"
#include "core/updateserver.h"
#include "core/updatetrust.h"
#include "core/verification.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "tools/publish/common.h"
#include "tools/publish/rollout.h"
#include "tools/publish/statement.h"

namespace publish {
namespace {

// Each problem once, however many checks find it.
class Problems {
public:
    void Add(const std::string& line) {
        if (!seen_.insert(line).second) return;
        std::cout << line << "\n";
    }
    size_t Count() const { return seen_.size(); }

private:
    std::set<std::string> seen_;
};

std::string Quoted(const AnsiString& text) {
    return "\"" + Printable(text) + "\"";
}

// Every key that the --key options name, in order.
std::vector<std::string> GivenKeys(const std::vector<AnsiString>& given) {
    std::vector<std::string> keys;
    for (const AnsiString& item : given) {
        std::string list = item;
        if (platform::FileExists(item)) {
            list = ReadOrFail(item);
            while (!list.empty() && (list.back() == '\n' || list.back() == '\r')) list.pop_back();
        }
        std::string error;
        const std::optional<std::vector<std::string>> listed = trust::KeysFromList(list, &error);
        if (!listed) throw Failure{"--key " + Printable(item) + ": " + error};
        keys.insert(keys.end(), listed->begin(), listed->end());
    }
    return keys;
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
    for (const char* signedFile :
         {verification::kSignatureFileName, freshness::kFileName, keyrotation::kFileName})
        if (platform::FileExists(JoinPath(folder, signedFile))) published.push_back(signedFile);
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

// Every record of Version.keys out of form or not signed by both its keys.
void CheckChain(const std::optional<std::string>& chainText, Problems& problems) {
    if (!chainText) return;
    std::string error;
    const std::optional<std::vector<keyrotation::Record>> chain =
        keyrotation::ReadChain(*chainText, &error);
    if (!chain) problems.Add(std::string(keyrotation::kFileName) + ": " + error);
    for (const keyrotation::Record& record : chain.value_or(std::vector<keyrotation::Record>{}))
        if (const std::optional<std::string> refusal = keyrotation::SignatureRefusal(record))
            problems.Add(std::string(keyrotation::kFileName) + ": " + *refusal);
}

// The statement as a new installation of a build with `keys` takes it (with no keys: as one
// that trusts the key it names); the keys that may sign the manifest afterwards. `validity`
// receives how long an accepted statement stays valid.
verification::KeySet CheckStatement(const AnsiString& folder, const std::string& manifest,
                                    const std::vector<std::string>& keys, Problems& problems,
                                    std::string* validity) {
    const std::optional<std::string> chainText =
        platform::ReadWholeFile(JoinPath(folder, keyrotation::kFileName));
    CheckChain(chainText, problems);
    const std::optional<std::string> statementText =
        platform::ReadWholeFile(JoinPath(folder, freshness::kFileName));
    const verification::KeySet given(keys.begin(), keys.end());
    if (!statementText) {
        if (!keys.empty())
            problems.Add(std::string(freshness::kFileName) +
                         ": missing; a build with a manifest key takes no version without it");
        return given;
    }
    std::string error;
    const std::optional<freshness::Statement> named = freshness::Read(*statementText, &error);
    std::vector<std::string> build = keys;
    if (build.empty() && named) build.push_back(named->signingKey);
    const std::optional<std::string> versionText =
        platform::ReadWholeFile(JoinPath(folder, "Version.txt"));
    const utctime::Moment now = utctime::Now();
    const trust::Freshness checked = trust::CheckFreshness(
        build, UpdaterState{}, "", statementText, versionText.value_or(""), chainText, now);
    for (const std::string& refusal : checked.rotationRefusals)
        problems.Add(std::string(keyrotation::kFileName) + ": " + refusal);
    const freshness::Verdict& verdict = checked.verdict;
    // The publisher is told as soon as a statement has expired, not an hour later.
    if (named && (verdict.refusal == freshness::Refusal::Expired ||
                  (verdict.Accepted() && named->expires < now))) {
        problems.Add(std::string(freshness::kFileName) + ": " + Describe(*named, now) +
                     "; refresh it");
    } else if (!verdict.Accepted()) {
        problems.Add(std::string(freshness::kFileName) + ": " + verdict.reason);
    } else {
        *validity = std::string(freshness::kFileName) + ": " + Describe(*named, now) +
                    ", signed by " + named->signingKey;
    }
    if (!verdict.Accepted()) return given;
    if (const std::optional<std::string> refusal =
            freshness::ManifestRefusal(verdict.statement, manifest))
        problems.Add("Version.ini: " + *refusal);
    return checked.trusted;
}

}  // namespace

std::optional<VerifyOptions> ParseVerifyOptions(int argc, char* argv[]) {
    VerifyOptions o;
    bool haveFolder = false;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--key" && i + 1 < argc) {
            o.publicKeys.push_back(CodePagePath(argv[++i]));
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
    const std::vector<std::string> keys = GivenKeys(o.publicKeys);

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

    std::string validity;
    const verification::KeySet signers =
        CheckStatement(o.folder, *manifestBytes, keys, problems, &validity);
    if (!keys.empty()) {
        const AnsiString signaturePath = JoinPath(o.folder, verification::kSignatureFileName);
        const std::optional<std::string> signature = platform::ReadWholeFile(signaturePath);
        if (!signature)
            problems.Add(std::string(verification::kSignatureFileName) + ": missing");
        else if (!trust::ManifestSigner(*manifestBytes, *signature, signers))
            problems.Add(std::string(verification::kSignatureFileName) +
                         ": no valid signature of Version.ini by the given keys or a key they "
                         "rotated to");
    }
    if (o.url) CheckServer(*o.url, o.folder, names, problems);
    const size_t rebuilt = CheckPatches(o.folder, manifest.FileName(), o.from, problems);

    // How far a rollout has come is told whatever else is wrong: it is what a publisher who
    // watches one runs verify for.
    const rollout::Reading rollout = rollout::ReadSchedule(TIniSnapshot(manifest.FileName()));
    if (!rollout.error.empty()) problems.Add("Version.ini: " + rollout.error);
    if (rollout.schedule)
        std::cout << "Version.ini: " << DescribeRollout(*rollout.schedule, utctime::Now()) << "\n";
    if (problems.Count() != 0) return false;
    if (!validity.empty()) std::cout << validity << "\n";
    std::cout << "ok: " << names.size() << " files"
              << (rebuilt ? ", " + Counted(rebuilt, "patch", "patches") + " rebuilt" : "")
              << (o.url ? ", and the server agrees" : "") << "\n";
    return true;
}

}  // namespace publish
