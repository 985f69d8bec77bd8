// sendrift-publish verify: an update folder checked as the wizard will see it, and with --url
// the live server that publishes it.
//
//   verify DIR [--key PUBLICKEY] [--url URL] [--from OLDV=OLDDIR ...]
//
// DIR is the folder served as the server's Update folder. Checked: Version.txt equals
// [VERSION] VERSION and is a version the wizard takes; no name of a section or of [DLL] would
// be refused; every named file is there with its [SIZE] and [SHA256]; with --key (the public
// key, or a file holding it) Version.ini.sig verifies Version.ini. With --url, the server's
// base URL as setup.ini's [CONNECT] URL gives it, Version.txt, Version.ini and its signature
// are fetched from URL/Update/ and compared byte for byte with DIR's, and every named file is
// asked for with HEAD at the address the wizard's size query uses, its announced size compared
// with the file's. Patches that [DELTA] names are checked like files, and each of its lines
// must hold a base's SHA-256 and a patch name in .delta\. With --from, each copy entry of
// [OLDV] whose file OLDDIR holds, and for which [DELTA] offers a patch against that file, is
// rebuilt from it as the wizard rebuilds it and must come out as the listed file. Each problem
// is printed on a line of its own.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace publish {

struct VerifyOptions {
    AnsiString folder;
    std::optional<AnsiString> publicKey;  // the key itself, or a file that holds it
    std::optional<std::string> url;
    std::vector<std::pair<AnsiString, AnsiString>> from;  // older version, its folder
};

std::optional<VerifyOptions> ParseVerifyOptions(int argc, char* argv[]);

// True when every check holds; each problem goes to stdout on a line of its own.
bool Verify(const VerifyOptions& options);

}  // namespace publish
