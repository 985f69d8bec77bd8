// The upgrade that the upgrade tests run: an application folder of version 1.0 with the
// component Bin\Customs.dll, and a server that publishes version 2.0 with two files to copy (one
// into the folder Sub), a script to run and a newer build of that component.
#pragma once

#include <QDir>
#include <string>

#include "support/appfolder.h"
#include "support/scriptedhttpserver.h"

inline const std::string kManifest =
    "[VERSION]\r\nVERSION=2.0\r\nDATAVERSION=D7\r\n"
    "[1.0]\r\n1=a.dll;0\r\n2=b.dll;0;;Sub\r\n3=c.sh;1\r\n"
    "[DLL]\r\nBin\\Customs.dll=2030-01-01\r\n";
// Appends a line to ran.log in the application folder, whatever the working folder.
inline const std::string kRunScript = "#!/bin/sh\necho ran >> \"$(dirname \"$0\")/../ran.log\"\n";

// Serves `body` as the file `urlPath` of the update folder.
inline void PublishUpdateFile(testsupport::ScriptedHttpServer& server, const std::string& urlPath,
                              const std::string& body) {
    server.Serve("/Update/" + urlPath, testsupport::ScriptedResponse::Ok(body));
}

inline void PublishSampleRelease(testsupport::ScriptedHttpServer& server) {
    PublishUpdateFile(server, "Version.txt", "2.0");
    PublishUpdateFile(server, "Version.ini", kManifest);
    PublishUpdateFile(server, "a.dll", "new a");
    PublishUpdateFile(server, "b.dll", "new b");
    PublishUpdateFile(server, "c.sh", kRunScript);
    PublishUpdateFile(server, "Bin/Customs.dll", "new customs");
}

inline void InstallSampleVersion(const TempAppFolder& folder) {
    folder.Write("Default.ini", "[Main]\r\nCustoms=Bin\\Customs.dll\r\n");
    QDir(folder.NativeFolder()).mkpath("Bin");
    QDir(folder.NativeFolder()).mkpath("Sub");
    folder.Write("Bin/Customs.dll", "old customs");
}
