// Form-data encoding ("application/x-www-form-urlencoded") of code-page text.
#pragma once

#include <functional>

#include <QObject>

#include "platform/text.h"

// Raised when encoding fails: the operation that failed and the error's message.
using TOnErrorEvent =
    std::function<void(QObject* Sender, const AnsiString& Operation, const AnsiString& ErrMsg)>;

// Encodes `InputString` byte by byte: letters and digits stay, a blank becomes "+", every other
// byte becomes "%" and two lower-case hex digits. The codec knows nothing of character sets, so
// each byte of a GBK character is encoded on its own. GUI thread only, like every component.
class TNMURL : public QObject {
public:
    explicit TNMURL(QObject* Owner = nullptr) : QObject(Owner) {}

    // The encoded form of `InputString`, computed on every read. When encoding fails (memory
    // exhaustion), `OnError` is told and the input comes back unchanged.
    AnsiString Encode() const;

    AnsiString InputString;
    TOnErrorEvent OnError;
};
