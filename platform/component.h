// The event signature shared by every component: a notification with its sender.
#pragma once

#include <functional>

class QObject;

using TNotifyEvent = std::function<void(QObject* Sender)>;
