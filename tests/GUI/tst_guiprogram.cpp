// The real program on a real broker: the retained documents, requests answered on their
// response topics, a remote card test with no dispenser, the event log across a restart,
// the last will when the process is killed, private files, and no secret in its log.
#include "BackOfficePeer.h"
#include "Broker.h"
#include "MqttPeer.h"
#include "PeerProcess.h"
#include "TestUtil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

namespace {
const QString Program = QStringLiteral(BUILD_DIR "/zuka-terminal-ui");

QJsonObject last(const MqttPeer &peer, const QString &topic)
{
    const auto list = peer.messagesOn(topic);
    return list.isEmpty() ? QJsonObject() : QJsonDocument::fromJson(list.last().payload).object();
}

struct Program_ {
    QTemporaryDir dir;
    QProcess proc;
    QByteArray out;
    // The screens it set, in order.
    QStringList screens() const
    {
        QStringList list;
        for (const QByteArray &line : out.split('\n')) {
            const int at = line.indexOf("[GUIManager] Setting screen : ");
            if (at >= 0)
                list << QString::fromUtf8(line.mid(at + 30)).section(" (", 0, 0);
        }
        return list;
    }
    // `prepare` writes what the folder holds before the start.
    explicit Program_(quint16 port, const QStringList &more = {}, const std::function<void(const QDir &)> &prepare = {})
    {
        if (prepare)
            prepare(QDir(dir.path()));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QT_QUICK_BACKEND", "software");
        env.insert("XDG_RUNTIME_DIR", dir.path());
        // Its own settings store: no API key or box count left by an earlier run.
        env.insert("XDG_CONFIG_HOME", dir.path());
        // The system's clock tools: the stand-ins, which list their calls.
        env.insert("PATH", QStringLiteral(PEERS_DIR "/system:") + env.value("PATH"));
        env.insert("SYSTEM_SIM_DIR", dir.path());
        proc.setProcessEnvironment(env);
        proc.setWorkingDirectory(dir.path());
        proc.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&proc, &QProcess::readyRead, [this] { out += proc.readAll(); });
        // The camera listener on a port of the system's choosing, everything else as the
        // defaults have it.
        QSettings(dir.filePath("t.conf"), QSettings::IniFormat).setValue("cameras/serverPort", 0);
        proc.start(Program, QStringList{"-f", "t.conf", "-e", "-H", "127.0.0.1", "-P", QString::number(port)} + more);
    }
    ~Program_()
    {
        if (proc.state() != QProcess::NotRunning) {
            proc.kill();
            proc.waitForFinished(10000);
        }
    }
};

// The application's "Application started" entries in its event log, with their categories.
QStringList startedCategories()
{
    QSettings s(QStringLiteral(BUILD_DIR "/events.ini"), QSettings::NativeFormat);
    QStringList out;
    const int n = s.beginReadArray("events");
    for (int i = 0; i < n; ++i) {
        s.setArrayIndex(i);
        if (s.value("name").toString() == "Application started")
            out << s.value("category").toString();
    }
    return out;
}
}

class TstGuiProgram : public QObject
{
    Q_OBJECT
private slots:
    void supervisedProgram();
    void noSecretInTheLog();
};

void TstGuiProgram::supervisedProgram()
{
    Broker broker;
    QVERIFY(broker.start());
    MqttPeer peer(broker.port());
    QVERIFY(TestUtil::waitUntil([&] { return peer.isConnected(); }));
    QVERIFY(peer.subscribe("vexo/#", 0));
    const int startedBefore = startedCategories().size();

    {
        Program_ app(broker.port());
        QVERIFY(app.proc.waitForStarted(10000));
        // No services: busy while initialising, out of order, then the registration page.
        QVERIFY2(TestUtil::waitUntil([&] { return app.screens().contains("InitPage"); }, 20000), app.out.constData());
        const QStringList screens = app.screens();
        QCOMPARE(screens.first(), QString("Busy"));
        // The clock's first readings, left until the window was up, have been taken.
        QVERIFY(TestUtil::waitUntil([&] {
            QFile calls(app.dir.filePath("calls"));
            return calls.open(QIODevice::ReadOnly) && calls.readAll().contains("timedatectl status");
        }, 20000));
        QVERIFY(screens.indexOf("OutOfOrder") > 0);
        QVERIFY(screens.indexOf("OutOfOrder") < screens.indexOf("InitPage"));
        QVERIFY(peer.waitForMessage("vexo/ui/config", 20000));
        QCOMPARE(last(peer, "vexo/ui/info").value("version").toString(), QString(APP_VERSION));
        QCOMPARE(last(peer, "vexo/ui/status").value("service"), QJsonValue(true));
        // Written in the JSON library's own indented form, every group of the lane in it.
        const QByteArray status = peer.messagesOn("vexo/ui/status").last().payload;
        QCOMPARE(status, QJsonDocument::fromJson(status).toJson(QJsonDocument::Indented));
        QCOMPARE(QJsonDocument::fromJson(status).object().keys(),
                 QStringList({"barrier", "box", "button", "cameras", "cardBo", "cardLevel", "cardLevel%", "error",
                              "esb", "loop", "occupied", "service", "state", "technician", "uptime"}));
        QCOMPARE(last(peer, "vexo/ui/config").value("gui").toObject().value("settingsPin").toString(), QString("****"));
        // What it made in its folder is its owner's only (the configuration file was given,
        // for the camera listener's port; a new one is made owner-only in Config's own test).
        QVERIFY(TestUtil::ownerOnly(app.dir.filePath("terminal.db")));

        // Requests, answered on their response topics.
        QVERIFY(TestUtil::waitUntil([&] {
            peer.publish("vexo/ui/box/reset/request/17", "{}", 0);
            return peer.waitForMessage("vexo/ui/box/reset/response/17", 300);
        }, 10000));
        QCOMPARE(last(peer, "vexo/ui/box/reset/response/17").value("result"), QJsonValue(true));
        QVERIFY(peer.publish("vexo/ui/cameras/trigger/request/c", "[]", 0));
        QVERIFY(peer.waitForMessage("vexo/ui/cameras/trigger/response/c"));
        QCOMPARE(last(peer, "vexo/ui/cameras/trigger/response/c").value("readings"), QJsonValue(QJsonArray()));
        // A dispense test with no dispenser fails, with the invalid sound.
        QVERIFY(peer.publish("vexo/ui/test/request/t", R"({"mode":"dispense","numberOfCards":1})", 0));
        QVERIFY(peer.waitForMessage("vexo/ui/test/response/t", 60000));  // the dispenser does not answer
        QCOMPARE(last(peer, "vexo/ui/test/response/t").value("result"), QJsonValue(false));
        QVERIFY(peer.waitForMessage("vexo/inspector/audio/play"));
        QCOMPARE(last(peer, "vexo/inspector/audio/play").value("filepath").toString(),
                 QString("/opt/vexo/zuka-terminal-ui/Invalid.wav"));

        // Killed: the broker publishes the will in place of the status document.
        ::kill(pid_t(app.proc.processId()), SIGKILL);
        QVERIFY(app.proc.waitForFinished(10000));
    }
    QVERIFY(TestUtil::waitUntil([&] { return last(peer, "vexo/ui/status") == QJsonObject{{"service", false}}; }, 20000));
    MqttPeer late(broker.port());
    QVERIFY(TestUtil::waitUntil([&] { return late.isConnected(); }));
    QVERIFY(late.subscribe("vexo/ui/status", 0));
    QVERIFY(late.waitForMessage("vexo/ui/status"));
    QCOMPARE(late.messagesOn("vexo/ui/status").first().payload, QByteArray("{\"service\": false}"));
    QVERIFY(late.messagesOn("vexo/ui/status").first().retain);

    // Started again: the event log holds both starts, filed under their category.
    {
        Program_ again(broker.port());
        QVERIFY(TestUtil::waitUntil([&] { return startedCategories().size() >= startedBefore + 2; }, 20000));
        const QStringList categories = startedCategories();
        QVERIFY(!categories.contains(QString()));
        QCOMPARE(categories.last(), QString("General"));
        ::kill(pid_t(again.proc.processId()), SIGTERM);
        QVERIFY(again.proc.waitForFinished(10000));
    }
}

// At the most verbose level, with a configuration pushed by the card back office and one
// set over "/config/set", each carrying secrets: none of them reaches the log.
void TstGuiProgram::noSecretInTheLog()
{
    Broker broker;
    QVERIFY(broker.start());
    MqttPeer peer(broker.port());
    QVERIFY(TestUtil::waitUntil([&] { return peer.isConnected(); }));
    BackOfficePeer bo;
    QVERIFY(bo.start());
    const QString key = bo.registerTerminal(); // as an earlier registration left it
    QVERIFY(!key.isEmpty());
    const QStringList secrets{"PushedPw-4711", "PushedPin-8813", "SetPin-5309", key};
    bo.script({{"cardbo", BackOfficePeer::json(R"({"heartbeat": {"configUpdatedAt": "2099-01-01T00:00:00Z",
        "config": [{"name": "mqtt/password", "value": "PushedPw-4711"}, {"name": "gui/settingsPin", "value": "PushedPin-8813"},
                   {"name": "card-bo/hbPolicy", "value": "always"}]}})")}});

    Program_ app(broker.port(), {"-v", "4"}, [&](const QDir &dir) {
        QFile conf(dir.filePath("t.conf"));
        conf.open(QIODevice::WriteOnly);
        conf.write(("[card-bo]\nurl=" + bo.http() + "\nhbIntervalSec=1\n"
                    "[terminal]\ndeviceId=DEV-1\ncustomsId=1\nlocationId=2\n").toUtf8());
        QSettings store(dir.filePath("vexo/zuka-card-bo.conf"), QSettings::IniFormat);
        store.setValue("apiKey", key);
    });
    QVERIFY(app.proc.waitForStarted(10000));
    QVERIFY2(TestUtil::waitUntil([&] { return app.out.contains("Heartbeat response received"); }, 30000), app.out.constData());
    QVERIFY(TestUtil::waitUntil([&] {
        peer.publish("vexo/ui/config/set", R"({"gui": {"settingsPin": "SetPin-5309"}})", 0);
        return QSettings(app.dir.filePath("t.conf"), QSettings::IniFormat).value("gui/settingsPin") == "SetPin-5309";
    }, 20000));
    ::kill(pid_t(app.proc.processId()), SIGTERM);
    QVERIFY(app.proc.waitForFinished(10000));

    QCOMPARE(QSettings(app.dir.filePath("t.conf"), QSettings::IniFormat).value("mqtt/password").toString(),
             QString("PushedPw-4711"));
    QVERIFY(app.out.contains("[Backend::CardBO] Heartbeat response received : status=200"));
    QVERIFY(app.out.contains("\"value\":\"****\""));
    for (const QString &secret : secrets)
        QVERIFY2(!app.out.contains(secret.toUtf8()), qPrintable(secret));
}

QTEST_GUILESS_MAIN(TstGuiProgram)
#include "tst_guiprogram.moc"
