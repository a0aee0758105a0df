#pragma once
// Answers to a server's authentication challenges (the WWW-Authenticate headers of its
// 401): Basic, and Digest (RFC 7616) with SHA-256 or MD5 and qop "auth", or without qop
// for the older devices that offer none. What a challenge holds comes from outside: one
// whose texts hold a control character is not answered.
#include <QByteArray>
#include <QCryptographicHash>
#include <QList>
#include <QMap>
#include <QString>

class HttpAuth
{
public:
    struct Challenge
    {
        QByteArray scheme;                   // lower case
        QMap<QByteArray, QByteArray> params; // names in lower case, values unquoted
    };

    // The challenges the header values hold; what does not read as one is skipped.
    static QList<Challenge> parse(const QList<QByteArray> &headerValues);

    // Takes the strongest of the challenges that can be answered: Digest with SHA-256,
    // Digest with MD5, Basic. False when none can.
    bool choose(const QList<QByteArray> &headerValues);
    // The server took the credentials but no longer the nonce they went with.
    bool stale() const;

    void setCredentials(const QString &user, const QString &password);
    QString user() const { return m_user; }
    QString password() const { return m_password; }

    // The Authorization header of one request (each is one use of a Digest nonce); empty
    // when the user name cannot go in a header.
    QByteArray authorization(const QByteArray &method, const QByteArray &target);

private:
    Challenge m_challenge;
    QCryptographicHash::Algorithm m_hash = QCryptographicHash::Md5;
    QString m_user;
    QString m_password;
    quint32 m_uses = 0; // of the nonce
};
