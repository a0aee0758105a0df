#include "BackOfficePeer.h"

#include "TestUtil.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSaveFile>

BackOfficePeer::BackOfficePeer(bool clientCert)
    : m_clientCert(clientCert)
{
}

bool BackOfficePeer::start()
{
    QProcess ca;
    ca.start("sh", {QStringLiteral(PEERS_DIR "/make_test_ca.sh"), m_dir.path()});
    if (!ca.waitForFinished(60000) || ca.exitCode() != 0) {
        qWarning() << "make_test_ca.sh failed:" << ca.readAllStandardError();
        return false;
    }
    script(QJsonObject());
    QStringList args{m_dir.path(), m_dir.filePath("script.json"), m_dir.filePath("requests.jsonl")};
    if (m_clientCert)
        args << QStringLiteral("--client-cert");
    if (!m_proc.startPython(QStringLiteral("backoffice_peer.py"), args, "READY"))
        return false;
    const QList<QByteArray> words = m_proc.output().trimmed().split('\n').first().split(' ');
    m_https = QStringLiteral("https://127.0.0.1:%1").arg(QString::fromLatin1(words.value(1)));
    m_http = QStringLiteral("http://127.0.0.1:%1").arg(QString::fromLatin1(words.value(2)));
    return true;
}

void BackOfficePeer::script(const QJsonObject &answers)
{
    QSaveFile file(m_dir.filePath("script.json"));
    file.open(QIODevice::WriteOnly);
    file.write(QJsonDocument(answers).toJson());
    file.commit();
}

QList<QJsonObject> BackOfficePeer::requests() const
{
    QList<QJsonObject> list;
    QFile file(m_dir.filePath("requests.jsonl"));
    if (!file.open(QIODevice::ReadOnly))
        return list;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (line.endsWith('}'))
            list.append(QJsonDocument::fromJson(line).object());
    return list;
}

QList<QJsonObject> BackOfficePeer::requests(const QString &path) const
{
    QList<QJsonObject> list;
    for (const QJsonObject &r : requests())
        if (r["path"].toString() == path || r["method"].toString() + ' ' + r["path"].toString() == path)
            list.append(r);
    return list;
}

bool BackOfficePeer::waitForRequests(const QString &path, int n, int timeoutMs) const
{
    return TestUtil::waitUntil([&] { return requests(path).size() >= n; }, timeoutMs);
}

QString BackOfficePeer::registerTerminal() const
{
    QProcess curl;
    curl.start("curl", {"-s", "-X", "POST", "-d", "{}", m_http + "/api/v1/device/register"});
    curl.waitForFinished(10000);
    return json(QString::fromUtf8(curl.readAllStandardOutput()))["apiKey"].toString();
}

QJsonObject BackOfficePeer::json(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}
