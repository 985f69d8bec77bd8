// sendrift-publish verify: an update folder checked as the wizard will see it, and with --url
// the live server that publishes it.
//
//   verify DIR [--key PUBLICKEYS ...] [--url URL] [--from OLDV=OLDDIR ...]
//
// DIR is the folder served as the server's Update folder. Checked: Version.txt equals
// [VERSION] VERSION and is a version the wizard takes; no name of a section or of [DLL] would
// be refused; every named file is there with its [SIZE] and [SHA256]; every record of
// Version.keys is signed by both its keys. With --key (public keys separated by commas, as
// SENDRIFT_MANIFEST_KEY lists them, or a file holding them; given more than once, all count),
// the folder is checked as a new installation of a build with those keys checks it: the
// freshness statement must be there, and is taken after following the rotation records; then
// Version.ini.sig must verify Version.ini by a key trusted after that. Without --key, a
// statement that is there is checked against the key it names. Either way the statement must
// name Version.txt's bytes and Version.ini's SHA-256 and must not have expired (installations
// allow an hour more); how long it stays valid is printed. With --url, the server's base URL as
// setup.ini's [CONNECT] URL gives it, Version.txt, Version.ini, its signature, the statement and
// the rotation records are fetched from URL/Update/ and compared byte for byte with DIR's, and
// every named file is asked for with HEAD at the address the wizard's size query uses, its
// announced size compared with the file's. Patches that [DELTA] names are checked like files,
// and each of its lines must hold a base's SHA-256 and a patch name in .delta\. With --from,
// each copy entry of [OLDV] whose file OLDDIR holds, and for which [DELTA] offers a patch
// against that file, is rebuilt from it as the wizard rebuilds it and must come out as the
// listed file. Each problem is printed on a line of its own. A manifest with a staged rollout's
// schedule gets a line saying its phase and the share of installations offered now, and a
// damaged schedule is a problem.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace publish {

struct VerifyOptions {
    AnsiString folder;
    std::vector<AnsiString> publicKeys;  // each the keys themselves, or a file that holds them
    std::optional<std::string> url;
    std::vector<std::pair<AnsiString, AnsiString>> from;  // older version, its folder
};

std::optional<VerifyOptions> ParseVerifyOptions(int argc, char* argv[]);

// True when every check holds; each problem goes to stdout on a line of its own.
bool Verify(const VerifyOptions& options);

}  // namespace publish
