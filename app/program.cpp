// Program entry: chooses the face from the command line, takes the application folder for
// this process, and runs the wizard window or the command line's unattended run.
#include <QApplication>
#include <cstdio>

#include "app/buildsettings.h"
#include "app/cli/commandline.h"
#include "app/cli/consoleface.h"
#include "app/startupguard.h"
#include "app/texts.h"
#include "app/window/dialogs.h"
#include "app/window/mainform.h"
#include "platform/codepage.h"
#include "platform/filelock.h"
#include "platform/files.h"
#include "platform/windowlookup.h"

namespace {

// One process works an application folder at a time; the lock is taken before the journal is
// read. A folder where no lock file can be made is one the updater cannot write either: the
// run goes on and stops at its first write with the reason.
bool AnotherRunHoldsTheFolder(const platform::FileLock& lock) {
    return lock.Result() == platform::FileLock::Outcome::Busy;
}

AnsiString LockPath(const AnsiString& applicationFolder) {
    return applicationFolder + "sendrift.lock";
}

int RunWizard(int argc, char* argv[]) {
    QApplication application(argc, argv);
    // The constructor has taken Qt's own options (-style, -platform, -reverse, ...) out of
    // argv, so argv[1] is the first argument the caller meant for the program. Where
    // QCoreApplication::arguments() rebuilds the list from the process's own command line
    // (Windows), it would still hold those options.
    const AnsiString firstArgument =
        argc > 1 ? platform::FromUnicode(QString::fromLocal8Bit(argv[1])) : AnsiString();

    if (GuardRefusesStart(firstArgument, platform::TopLevelWindowExists)) {
        dialogs::ShowGuardMessage(Texts::GuardMessage);
        return 0;
    }
    const AnsiString folder = platform::ApplicationFolder();
    const platform::FileLock lock(LockPath(folder));
    if (AnotherRunHoldsTheFolder(lock)) {
        dialogs::ShowGuardMessage(Texts::FolderBusyMessage);
        return kExitBusy;
    }

    QCoreApplication::setApplicationName(platform::ToUnicode(Texts::ApplicationTitle));
    TWizardEnvironment environment;
    environment.ApplicationFolder = folder;
    environment.ServerUrl = BuildSettings::ServerUrl;
    environment.ManifestKey = BuildSettings::ManifestKey;
    environment.FirstArgument = firstArgument;
    TMainform Mainform(std::move(environment));
    Mainform.show();
    application.exec();
    return 0;
}

// No window and no display: no GUI platform plugin is loaded.
int RunCommandLine(const TCommandLine& line, int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    if (!line.force && platform::TopLevelWindowExists(Texts::MainProductWindowClass))
        return RefuseToRun(line,
                           "the product's window is open; close it first, or run with --force");
    const AnsiString folder = platform::ApplicationFolder();
    const platform::FileLock lock(LockPath(folder));
    if (AnotherRunHoldsTheFolder(lock))
        return RefuseToRun(line, "another run of sendrift holds the application folder " +
                                     platform::ToUnicode(folder).toStdString());
    return RunWithoutWindow(line, {.ApplicationFolder = folder,
                                   .ServerUrl = BuildSettings::ServerUrl,
                                   .ManifestKey = BuildSettings::ManifestKey,
                                   .IgnoreRollout = line.now});
}

}  // namespace

int main(int argc, char* argv[]) {
    const TCommandLine line = ParseCommandLine(argc, argv);
    switch (line.face) {
        case TCommandLine::Face::Wizard:
            return RunWizard(argc, argv);
        case TCommandLine::Face::Help:
            std::fputs(kUsage, stdout);
            return kExitDone;
        case TCommandLine::Face::Version:
            std::printf("sendrift %s\n", BuildSettings::Version);
            return kExitDone;
        case TCommandLine::Face::Wrong:
            std::fprintf(stderr, "sendrift: %s\n%s", line.error.c_str(), kUsage);
            return kExitUsage;
        case TCommandLine::Face::Check:
        case TCommandLine::Face::Unattended:
            return RunCommandLine(line, argc, argv);
    }
    return kExitUsage;
}
