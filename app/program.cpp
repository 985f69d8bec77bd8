// Program entry: the single-instance guard, then the wizard window and the message loop.
#include <QApplication>

#include "app/buildsettings.h"
#include "app/window/dialogs.h"
#include "app/window/mainform.h"
#include "app/startupguard.h"
#include "app/texts.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/windowlookup.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    // The constructor has taken Qt's own options (-style, -platform, -reverse, ...) out of
    // argv, so argv[1] is the first argument the caller meant for the program. Where
    // QCoreApplication::arguments() rebuilds the list from the process's own command line
    // (Windows), it would still hold those options.
    const AnsiString firstArgument =
        argc > 1 ? platform::FromUnicode(QString::fromLocal8Bit(argv[1])) : AnsiString();

    if (GuardRefusesStart(firstArgument, platform::TopLevelWindowExists)) {
        dialogs::ShowGuardMessage();
        return 0;
    }

    QCoreApplication::setApplicationName(platform::ToUnicode(Texts::ApplicationTitle));
    TWizardEnvironment environment;
    environment.ApplicationFolder = platform::ApplicationFolder();
    environment.ServerUrl = BuildSettings::ServerUrl;
    environment.ManifestKey = BuildSettings::ManifestKey;
    environment.FirstArgument = firstArgument;
    TMainform Mainform(std::move(environment));
    Mainform.show();
    application.exec();
    return 0;
}
