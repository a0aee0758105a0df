#pragma once
// The configured address of a server (its "url" key) as the service bus and the
// weighbridge clients use it: endpoints are appended to its path, and credentials
// written in it answer the server's request for them.
#include <QString>
#include <QUrl>

class QAuthenticator;

namespace Backend {

// The configured URL when it is an http or https URL with a host; otherwise (empty, another
// scheme, no host) an invalid URL, which the HTTP client refuses with "Invalid URL".
QUrl serverUrl(const QString &configured);
// Whether the configured text names no server at all: only an empty one. Any other text that
// serverUrl refuses (an address:port, a URL after a blank, a typo) names a server that cannot
// be reached.
bool namesNoServer(const QString &configured);
// The configured URL (as serverUrl) with path appended to its own path (one "/" between
// them).
QUrl endpointUrl(const QString &configured, const QString &path);
// Gives the authenticator the user name and password of the configured URL.
void answerWithUrlCredentials(const QString &configured, QAuthenticator *authenticator);

} // namespace Backend
