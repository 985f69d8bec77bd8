// The three line files of the updater's trust on arbitrary bytes: the freshness statement and
// the rotation records arrive from the server, the state file from a disk that may be damaged.
// Each reader takes only the one spelling its writer makes, so what reads writes back the same.
#include "core/freshness.h"
#include "core/keyrotation.h"
#include "core/updaterstate.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzzsupport::Bytes(data, size);
    std::string error;

    if (const std::optional<freshness::Statement> statement = freshness::Read(text, &error)) {
        FUZZ_CHECK(statement->serial >= 1);
        FUZZ_CHECK(verification::IsDigestText(statement->versionDigest));
        FUZZ_CHECK(verification::IsPublicKeyText(statement->signingKey));
        FUZZ_CHECK(text.find("\nexpires " + utctime::Format(statement->expires) + "\n") !=
                   std::string::npos);
    }

    if (const auto chain = keyrotation::ReadChain(text, &error)) {
        std::string written;
        for (const keyrotation::Record& record : *chain) written += keyrotation::Text(record);
        FUZZ_CHECK(written == text);
    }

    if (const std::optional<UpdaterState> state = ParseUpdaterState(text, &error)) {
        std::string again;
        FUZZ_CHECK(ParseUpdaterState(UpdaterStateText(*state), &again) == state);
    }
    return 0;
}
