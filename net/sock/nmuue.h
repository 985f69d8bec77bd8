// Base64 (MIME) and uuencode encoding of a stream.
#pragma once

#include <istream>
#include <ostream>

#include <QObject>

#include "platform/component.h"
#include "platform/text.h"

enum UUMethods { uuMime = 0, uuCode = 1 };

// Encodes all of `InputStream` into `OutputStream` as lines of at most 45 input bytes, each
// line ended by "\r\n". Neither stream is owned; the caller sets both before `Encode`. No
// "begin"/"end" lines are written; `uuCode` adds its closing line (grave accent). Only the
// encoding direction exists: `OnBeginDecode`/`OnEndDecode` are never raised. GUI thread only.
class TNMUUProcessor : public QObject {
public:
    explicit TNMUUProcessor(QObject* Owner = nullptr) : QObject(Owner) {}

    // Rewinds the input, encodes it, and rewinds the output, which then holds the text.
    // Stream errors (streams set to throw) propagate after the output has been rewound and
    // `OnEndEncode` has run.
    void Encode();

    TNotifyEvent OnBeginEncode;
    TNotifyEvent OnEndEncode;  // also after an error
    TNotifyEvent OnBeginDecode;
    TNotifyEvent OnEndDecode;
    std::istream* InputStream = nullptr;
    std::ostream* OutputStream = nullptr;
    UUMethods Method = uuMime;

private:
    void EncodeLines();
    void FinishEncode();
    void LoadAlphabet();

    char alphabet_[64] = {};
};

// `text` in Base64 (MIME) as one unbroken line, as credentials travel in a header.
AnsiString MimeEncodeUnbroken(const AnsiString& text);
