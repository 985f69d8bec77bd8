#include "app/engine/failurelog.h"

#include <QDateTime>

#include "platform/codepage.h"
#include "platform/files.h"

namespace {

constexpr size_t kMaxLogBytes = 1024 * 1024;

// A reason from a server or a file name may hold line breaks: each line of the log stays one
// failure.
AnsiString OnOneLine(AnsiString text) {
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

}  // namespace

void LogFailure(const AnsiString& applicationFolder, const AnsiString& step, const AnsiString& file,
                const AnsiString& reason) {
    const AnsiString path = applicationFolder + "sendrift.log";
    const AnsiString time = platform::FromUnicode(
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    platform::AppendToFile(
        path, time + " " + step + " " + OnOneLine(file) + ": " + OnOneLine(reason) + "\r\n");
    std::optional<std::string> log = platform::ReadWholeFile(path);
    if (!log || log->size() <= kMaxLogBytes) return;
    const size_t lineStart = log->find('\n', log->size() - kMaxLogBytes);
    if (lineStart != std::string::npos)
        platform::ReplaceFileContents(path, log->substr(lineStart + 1));
}
