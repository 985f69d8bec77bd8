#include "app/cli/commandline.h"

#include <cstring>

const char* const kUsage =
    "usage: sendrift [on]               the upgrade wizard (\"on\": continue the interrupted "
    "upgrade)\n"
    "       sendrift --check [--json] [--force]\n"
    "                                   ask the update server whether a newer version exists\n"
    "       sendrift --unattended [--json] [--force]\n"
    "                                   upgrade without a window, or continue an interrupted "
    "upgrade\n"
    "       sendrift --help | --version\n"
    "\n"
    "  --json   one JSON object per line on standard output, for monitoring tools\n"
    "  --force  run although the product's window is open\n"
    "  --now    upgrade even where a staged rollout has not offered the release to this computer "
    "yet\n"
    "\n"
    "Exit status: 0 upgraded (--check: an update is available), 1 failed (sendrift.log says\n"
    "why), 2 nothing to do, 3 another run holds the application folder or the product's window\n"
    "is open, 64 wrong usage. Sendrift works in the folder of its own executable.\n";

TCommandLine ParseCommandLine(int argc, char* argv[]) {
    TCommandLine line;
    if (argc < 2 || std::strncmp(argv[1], "--", 2) != 0) return line;
    auto wrong = [&](const std::string& error) {
        line.face = TCommandLine::Face::Wrong;
        line.error = error;
        return line;
    };
    TCommandLine::Face chosen = TCommandLine::Face::Wizard;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        TCommandLine::Face face = TCommandLine::Face::Wizard;
        if (option == "--check")
            face = TCommandLine::Face::Check;
        else if (option == "--unattended")
            face = TCommandLine::Face::Unattended;
        else if (option == "--help")
            face = TCommandLine::Face::Help;
        else if (option == "--version")
            face = TCommandLine::Face::Version;
        else if (option == "--json")
            line.json = true;
        else if (option == "--force")
            line.force = true;
        else if (option == "--now")
            line.now = true;
        else
            return wrong("unknown option " + option);
        if (face == TCommandLine::Face::Wizard) continue;
        if (chosen != TCommandLine::Face::Wizard && chosen != face)
            return wrong("choose one of --check, --unattended, --help and --version");
        chosen = face;
    }
    if (chosen == TCommandLine::Face::Wizard)
        return wrong("--json and --force need --check or --unattended");
    if (line.now && chosen != TCommandLine::Face::Unattended)
        return wrong("--now needs --unattended");
    line.face = chosen;
    return line;
}
