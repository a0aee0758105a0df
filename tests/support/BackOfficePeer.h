#pragma once
// The back-office servers peer (tests/peers/backoffice_peer.py) with a throw-away
// certificate authority made by openssl when it starts: HTTPS and plain HTTP on free
// loopback ports, scripted answers per endpoint and a log of every request.
#include "PeerProcess.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QTemporaryDir>

class BackOfficePeer
{
public:
    // With clientCert, the HTTPS server requires a client certificate of the authority.
    explicit BackOfficePeer(bool clientCert = false);

    bool start();
    bool stop() { return m_proc.stop(); }
    bool isRunning() const { return m_proc.isRunning(); }

    QString https() const { return m_https; } // "https://127.0.0.1:<port>"
    QString http() const { return m_http; }   // "http://127.0.0.1:<port>"
    // ca.pem, server.pem, client.pem / client.key, other.pem / other.key
    QString certFile(const QString &name) const { return m_dir.filePath(name); }

    // Replaces the answers: {"METHOD /path" or "/path": answer or [answers in turn]}.
    void script(const QJsonObject &answers);
    // Every request received so far, oldest first.
    QList<QJsonObject> requests() const;
    // The requests to that path (or "METHOD /path").
    QList<QJsonObject> requests(const QString &path) const;
    // Waits until at least n requests to path were received.
    bool waitForRequests(const QString &path, int n, int timeoutMs = 15000) const;
    // Registers a terminal with the card back office (as an earlier run would have): its API key.
    QString registerTerminal() const;

    // A JSON object written as text (scripted answers, expected bodies).
    static QJsonObject json(const QString &text);
    // The JSON body of a logged request.
    static QJsonObject bodyOf(const QJsonObject &request) { return json(request["body"].toString()); }

private:
    bool m_clientCert;
    QTemporaryDir m_dir;
    PeerProcess m_proc{QStringLiteral("backoffice_peer")};
    QString m_https;
    QString m_http;
};
