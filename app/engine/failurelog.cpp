#include "app/engine/failurelog.h"

#include <QDateTime>
#include <cstdio>

#include "platform/codepage.h"
#include "platform/files.h"

namespace {

constexpr size_t kMaxLogBytes = 1024 * 1024;

// Code-page text as the log writes it: UTF-8, "/" between folders, every control character on
// one line as "\xNN" (a line break too, so each line of the log stays one entry).
std::string Printable(const AnsiString& text) {
    const std::string utf8 = platform::ToUnicode(text).replace('\\', '/').toStdString();
    std::string printable;
    printable.reserve(utf8.size());
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            printable += escaped;
        } else {
            printable += c;
        }
    }
    return printable;
}

}  // namespace

void LogFailure(const AnsiString& applicationFolder, const AnsiString& step, const AnsiString& file,
                const AnsiString& reason) {
    LogEvent(applicationFolder, step + " " + file, reason);
}

void LogEvent(const AnsiString& applicationFolder, const AnsiString& subject,
              const AnsiString& text) {
    const AnsiString path = applicationFolder + "sendrift.log";
    const std::string time =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toStdString();
    const std::string entry = time + " " + Printable(subject) + ": " + Printable(text);
    if (!platform::AppendToFile(path, entry + "\n")) {
        const std::string why = Printable(platform::ErrorText(path));
        std::fprintf(stderr, "sendrift: %s\nsendrift: the log cannot be written: %s\n",
                     entry.c_str(), why.c_str());
        return;
    }
    std::optional<std::string> log = platform::ReadWholeFile(path);
    if (!log || log->size() <= kMaxLogBytes) return;
    const size_t lineStart = log->find('\n', log->size() - kMaxLogBytes);
    if (lineStart != std::string::npos)
        platform::ReplaceFileContents(path, log->substr(lineStart + 1));
}
