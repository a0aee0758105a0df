#include "Backend/ServerUrl.h"

#include "Common/Utils.h"

#include <QAuthenticator>

namespace Backend {

QUrl serverUrl(const QString &configured)
{
    return Utils::isServerUrl(configured) ? QUrl(configured) : QUrl();
}

bool namesNoServer(const QString &configured)
{
    return configured.isEmpty();
}

QUrl endpointUrl(const QString &configured, const QString &path)
{
    QUrl url = serverUrl(configured);
    if (!url.isValid())
        return url; // stays invalid: a new path would make it look valid
    QString joined = url.path(QUrl::FullyDecoded);
    if (joined.endsWith(QLatin1Char('/')))
        joined.chop(1);
    if (!path.startsWith(QLatin1Char('/')))
        joined += QLatin1Char('/');
    url.setPath(joined + path, QUrl::DecodedMode);
    return url;
}

void answerWithUrlCredentials(const QString &configured, QAuthenticator *authenticator)
{
    const QUrl url(configured);
    authenticator->setUser(url.userName(QUrl::FullyDecoded));
    authenticator->setPassword(url.password(QUrl::FullyDecoded));
}

} // namespace Backend
