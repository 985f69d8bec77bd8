// A temporary application folder for tests, addressed the way the wizard addresses it.
#pragma once

#include <QDir>
#include <QTemporaryDir>
#include <fstream>
#include <string>

#include "platform/codepage.h"
#include "platform/files.h"

class TempAppFolder {
public:
    // Code-page text ending in a backslash, like the running program's folder.
    AnsiString Folder() const {
        return platform::FromUnicode(QDir::toNativeSeparators(dir_.path()).replace('/', '\\')) +
               "\\";
    }
    // Code-page path of a file inside the folder; `name` is UTF-8.
    AnsiString Path(const char* name) const { return Folder() + platform::FromUtf8(name); }

    void Write(const char* name, const std::string& bytes) const {
        std::ofstream(platform::NativePath(Path(name)), std::ios::binary) << bytes;
    }
    std::string Read(const char* name) const {
        return platform::ReadWholeFile(Path(name)).value_or("<missing>");
    }
    QString NativeFolder() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
};
