#pragma once
#include <QString>
#include <functional>

namespace TestUtil {
// A TCP port on 127.0.0.1 that nothing listens on right now.
quint16 freePort();
// Runs the event loop until cond() is true or timeoutMs passes; returns cond().
bool waitUntil(const std::function<bool()> &cond, int timeoutMs = 5000);
// The python interpreter the test peers run on.
QString python();
// Whether the file exists and only its owner may read or write it.
bool ownerOnly(const QString &path);
}
