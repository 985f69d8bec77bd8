// TJournal: the local Version.ini, the only truth of a running upgrade.
//
// The manifest that the version check fetched becomes the journal. The installed version's
// section lists the files still to download, [RUN] the files that arrived complete and wait to
// be installed, [DLL] the build dates of components, [SHA256] the publisher's digests, [DELTA]
// the patches that may come instead of files, and [VERSION] what the upgrade leads to. A
// journal reads its file once, when it is made, and hands the steps parsed entries, each
// checked once for a name that stays inside its folder. Every move rewrites the file in one
// replacement (beside it, then renamed), so a crash leaves the journal before or after a move,
// never between; a move that cannot be written throws Exception "无法写入 <path>" and changes
// nothing.
//
// Section and key names match ignoring ASCII letter case, as in every INI file of the product,
// and so do file names: a name listed twice in one section ("1=a.dll;0" and "2=A.DLL;0;;Sub")
// is one file, fetched once and installed once, and the last entry of that name is the one
// handed out (its target wins); the moves of an entry take its shadowed namesakes with it.
// GUI thread only, like the steps that use it.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/delta.h"
#include "core/inifile.h"
#include "platform/text.h"

class TJournal {
public:
    // One entry of the version's section or of [RUN]: "name;kind", optionally followed by any
    // text and by ";;" and a target folder.
    struct Entry {
        AnsiString key;
        AnsiString value;         // as it stands in the file
        AnsiString fileName;      // before the first ";"
        AnsiString targetFolder;  // below the application folder, for a copy; may be empty
        bool copy = false;        // kind "0" is copied into place; any other kind is run
        // The name and the target folder stay inside the folder they are appended to and hold
        // no control character. Nothing may be asked, fetched, written or run for an entry
        // that is not safe.
        bool safe = false;

        // Where a copy entry puts its file, below the application folder: its name there, or
        // in the folder that the entry names.
        AnsiString InstalledName() const {
            return (targetFolder.empty() ? AnsiString() : targetFolder + "\\") + fileName;
        }
    };

    // Reads the journal at `path`; a missing file is an empty journal. `version` names the
    // section of the installed version.
    TJournal(AnsiString path, AnsiString version);

    const AnsiString& Path() const { return file_.FileName(); }
    const AnsiString& Version() const { return version_; }

    // The version's section and [RUN] in file order, each file name once, as they stand after
    // the moves so far.
    const std::deque<Entry>& ToDownload() const { return toDownload_; }
    const std::deque<Entry>& Waiting() const { return waiting_; }

    // The [DLL] date of a component ("yyyy-mm-dd"); empty when none is listed, or once the
    // component has been appended or dropped.
    AnsiString ComponentDate(const AnsiString& name) const;
    // The component's name as [DLL] spells it: the publisher's spelling, which the server's
    // folder uses. `name` itself when [DLL] does not list it.
    AnsiString ComponentName(const AnsiString& name) const;
    // Every [SHA256] value listed for the file, in file order.
    std::vector<AnsiString> Digests(const AnsiString& fileName) const;
    // The [SIZE] that the publisher lists for the file, in bytes; nothing when none is listed.
    // A listed value that is no byte count throws Exception: it is never taken for no size.
    std::optional<int64_t> ListedSize(const AnsiString& fileName) const;
    // Whether [DELTA] lists patches for the file at all: only then is the installed file's
    // digest worth taking.
    bool OffersPatches(const AnsiString& fileName) const;
    // The patch to fetch instead of the file, for an installed file whose SHA-256 is
    // `installedDigest` (delta::ChoosePatch); nothing when the file is to come whole.
    std::optional<delta::Patch> PatchFor(const AnsiString& fileName,
                                         const AnsiString& installedDigest) const;
    // [VERSION] VERSION and DATAVERSION: what setup.ini records at the finish.
    AnsiString NewVersion() const;
    AnsiString NewDataVersion() const;

    // The moves.
    // A component that the date rule adds joins the section as a copy entry named as [DLL]
    // spells it, under the next number that neither the section nor [RUN] uses (a waiting entry
    // of a resumed run must never be overwritten); its [DLL] key goes in the same write, so the
    // next run cannot list it twice.
    const Entry& AppendComponent(const AnsiString& name);
    // A component that the server announces no size for: its [DLL] key goes.
    void DropComponent(const AnsiString& name);
    // The entries' files arrived complete: the entries move from the section to [RUN], all in
    // one write.
    void MarkDownloaded(const std::vector<Entry>& entries);
    // Every file of the section arrived: the section goes.
    void CloseSection();
    // These waiting entries were installed: they leave [RUN], all in one write.
    void MarkInstalled(const std::vector<Entry>& entries);
    // A waiting copy that is damaged goes back to the section to be downloaded again, and so
    // does every waiting entry after it, so that the install order stays as listed.
    void ReturnToDownload(const Entry& from);

private:
    Entry Parse(const TIniSnapshot::Entry& line) const;
    // Parses the lines of a section into `entries`, each file name once (the last line of it),
    // and records the keys of the earlier lines of each name in `shadowed`.
    void ParseSection(const std::vector<TIniSnapshot::Entry>& lines, std::deque<Entry>& entries,
                      std::unordered_map<std::string, std::vector<AnsiString>>& shadowed);
    // The keys that `entries` shadow in their section (see ParseSection), taken out of `shadowed`.
    static std::vector<AnsiString> TakeShadowed(
        const std::vector<Entry>& entries,
        std::unordered_map<std::string, std::vector<AnsiString>>& shadowed);
    AnsiString UnusedKey() const;

    TIniFile file_;
    AnsiString version_;
    TIniSnapshot snapshot_;  // the file as it was read; the moves keep the lists below current
    // Moves take entries from the front in the usual order, so a deque keeps each move cheap.
    std::deque<Entry> toDownload_;
    std::deque<Entry> waiting_;
    std::unordered_set<std::string> usedKeys_;  // folded keys of the section and of [RUN]
    // Folded file name -> keys of the earlier lines of that name, in the section and in [RUN].
    std::unordered_map<std::string, std::vector<AnsiString>> shadowedToDownload_;
    std::unordered_map<std::string, std::vector<AnsiString>> shadowedWaiting_;
    std::unordered_set<std::string> movedComponents_;  // folded [DLL] keys appended or dropped
};
