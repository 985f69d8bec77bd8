// The program's command line: the wizard's bare first argument, or the options of the
// command-line face (--check, --unattended and their modifiers).
#pragma once

#include <string>

// Exit codes of the command-line face, as administrators' tools read them.
enum ExitCode : int {
    kExitDone = 0,         // upgraded, or (--check) an update is available
    kExitFailed = 1,       // the check or the upgrade failed; sendrift.log says why
    kExitNothingToDo = 2,  // the installed version is the latest
    kExitBusy = 3,         // another run holds the folder, or the product's window is open
    kExitUsage = 64,       // the command line is wrong
};

struct TCommandLine {
    enum class Face {
        Wizard,      // no option: the window, with the first argument as it always meant
        Check,       // --check
        Unattended,  // --unattended
        Help,        // --help
        Version,     // --version
        Wrong,       // an option that is not known, or that does not fit: `error` says which
    };
    Face face = Face::Wizard;
    bool json = false;   // --json: one JSON object per line on standard output
    bool force = false;  // --force: run although the product's window is open
    bool now = false;    // --now: take a release that a staged rollout has not offered yet
    std::string error;
};

// Reads the arguments after the program's name. Arguments that start with "--" are options of
// the command-line face; any other first argument ("on", "-platform" of the toolkit, ...)
// leaves the command line to the wizard, as it always was.
TCommandLine ParseCommandLine(int argc, char* argv[]);

// What --help prints.
extern const char* const kUsage;
