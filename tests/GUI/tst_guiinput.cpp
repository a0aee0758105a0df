// The touch interface with real input: the root object and its QML window on a private
// Xvfb display, driven by xdotool clicks and keys. Three taps on the clock open the login,
// the right PIN opens the settings; on the ethernet configuration an invalid address in
// manual mode shows its message and sends nothing to the network service, a valid one is
// sent; Reboot then Yes publishes the inspector's reboot request on a real broker.
#include "Broker.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Logger.h"
#include "GUI/GUIManager.h"
#include "MqttPeer.h"
#include "PeerProcess.h"
#include "TestUtil.h"

#include <QCursor>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QGuiApplication>
#include <QThread>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QQuickWindow *window()
{
    for (QWindow *w : QGuiApplication::topLevelWindows())
        if (auto *q = qobject_cast<QQuickWindow *>(w))
            if (q->isVisible())
                return q;
    return nullptr;
}

// The first visible item of that name in the window's item tree (pop-ups included).
QQuickItem *visibleItem(QQuickItem *item, const QString &name)
{
    if (!item->isVisible())
        return nullptr;
    if (item->objectName() == name && item->width() > 0)
        return item;
    for (QQuickItem *child : item->childItems())
        if (QQuickItem *found = visibleItem(child, name))
            return found;
    return nullptr;
}

QQuickItem *waitItem(const QString &name)
{
    QQuickItem *found = nullptr;
    TestUtil::waitUntil([&] { return window() && (found = visibleItem(window()->contentItem(), name)); }, 10000);
    return found;
}

// Whether a visible text item under item shows exactly text.
bool showsText(QQuickItem *item, const QString &text)
{
    if (!item->isVisible() || item->opacity() <= 0)
        return false;
    if (item->inherits("QQuickText") && item->property("text").toString() == text)
        return true;
    for (QQuickItem *child : item->childItems())
        if (showsText(child, text))
            return true;
    return false;
}

// Runs xdotool with args; the event loop keeps running meanwhile, so the window sees the input.
bool xdotool(const QStringList &args)
{
    QProcess xdo;
    xdo.start("xdotool", args);
    return TestUtil::waitUntil([&] { return xdo.state() == QProcess::NotRunning; }, 10000) && xdo.exitCode() == 0;
}

// Clicks the item's centre through the X server, count times.
bool click(QQuickItem *item, int count = 1)
{
    if (!item)
        return false;
    const QPoint at = item->window()->mapToGlobal(item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint());
    // A move to where the pointer already is never completes with --sync.
    QStringList args;
    if (QCursor::pos() != at)
        args << "mousemove" << "--sync" << QString::number(at.x()) << QString::number(at.y());
    return xdotool(args << "click" << "--repeat" << QString::number(count) << "--delay" << "120" << "1");
}

// Types text on the on-screen keyboard, key by key, once it has slid fully in.
bool typeOnPanel(const QString &text)
{
    QQuickItem *panel = waitItem("inputPanel");
    if (!panel || !TestUtil::waitUntil([&] { return qFuzzyCompare(panel->y() + panel->height(), panel->parentItem()->height()); }))
        return false;
    for (const QChar c : text)
        if (!click(waitItem(QStringLiteral("vkey_") + c)))
            return false;
    return true;
}

// Messages on the network service's topics other than the client's requests for data.
QList<MqttPeer::Message> networkCommands(const MqttPeer &peer)
{
    QList<MqttPeer::Message> sent;
    for (const MqttPeer::Message &m : peer.messages())
        if (m.topic.startsWith("vexo/network/") && !m.topic.endsWith("/get"))
            sent << m;
    return sent;
}

}

class TstGuiInput : public QObject
{
    Q_OBJECT
private slots:
    void maintenanceByTouch();
};

void TstGuiInput::maintenanceByTouch()
{
    Broker broker;
    QVERIFY(broker.start());
    MqttPeer peer(broker.port());
    QVERIFY(TestUtil::waitUntil([&] { return peer.isConnected(); }));
    QVERIFY(peer.subscribe("vexo/inspector/#", 0));
    QVERIFY(peer.subscribe("vexo/network/#", 0));
    QTemporaryDir dir;
    Config config(dir.filePath("gui.conf"), ConfigDefaults);
    config.set("mqtt/host", "127.0.0.1");
    config.set("mqtt/port", broker.port());
    config.set("gui/locale", "en_US");
    config.set("cameras/serverPort", 0);
    GUIManager gui(config);
    gui.load();
    QVERIFY(TestUtil::waitUntil([] { return window() && window()->isExposed(); }, 10000));
    // No window manager: the window takes the keyboard focus itself, which the text
    // fields and the on-screen keyboard need.
    window()->requestActivate();
    QVERIFY(TestUtil::waitUntil([] { return window()->isActive(); }));

    QVERIFY(click(waitItem("clock"), 3));
    QVERIFY(TestUtil::waitUntil([&] { return gui.screen() == "Login"; }));
    for (const char *key : {"key_4", "key_7", "key_0", "key_6"})  // 5, 8, 1, 7
        QVERIFY(click(waitItem(key)));
    QVERIFY(click(waitItem("loginButton")));
    QVERIFY(TestUtil::waitUntil([&] { return gui.screen() == "Settings"; }));
    QVERIFY(gui.sessions().sessionActive());

    // Ethernet configuration, manual mode: an address with a part above 255 typed on the
    // on-screen keyboard, a netmask typed on the X keyboard.
    QVERIFY(click(waitItem("pageNetwork")));
    QVERIFY(click(waitItem("tabEthernet")));
    QVERIFY(click(waitItem("ethernetConfigure")));
    QQuickItem *mode = waitItem("ethernetMode");
    QVERIFY(click(mode));
    QVERIFY(xdotool({"key", "--delay", "120", "Down", "Return"}));
    // Its list closed (the closing takes a moment, and swallows a press meanwhile).
    QVERIFY(TestUtil::waitUntil([&] { return !mode->property("popup").value<QObject *>()->property("visible").toBool(); }));
    QQuickItem *address = waitItem("ipAddress");
    QVERIFY(address && TestUtil::waitUntil([&] { return address->isEnabled(); }));
    QVERIFY(click(address));
    QVERIFY(typeOnPanel("300.1.1.1"));
    QCOMPARE(address->property("text").toString(), QString("300.1.1.1"));
    QVERIFY(click(waitItem("ipNetmask")));
    QVERIFY(xdotool({"type", "--delay", "60", "255.255.255.0"}));
    QVERIFY(TestUtil::waitUntil([&] { return waitItem("ipNetmask")->property("text") == "255.255.255.0"; }));
    QVERIFY(click(waitItem("ethernetSave")));
    const QString invalid = "IPv4 address is not a valid IP address";
    QVERIFY(TestUtil::waitUntil([&] { return showsText(window()->contentItem(), invalid); }));
    QVERIFY(waitItem("ethernetConfigPage"));  // the page stays open

    // A valid address after it is sent: the broker keeps the order of one client's
    // messages, so the invalid one, had it been sent, would have arrived first.
    QVERIFY(click(window()->contentItem()));  // the message, centred, closes on a click
    QVERIFY(TestUtil::waitUntil([&] { return !window()->property("popup").value<QObject *>()->property("visible").toBool(); }));
    QVERIFY(click(address));
    QVERIFY(xdotool({"key", "ctrl+a", "BackSpace"}));
    QVERIFY(typeOnPanel("10.1.2.3"));
    QCOMPARE(address->property("text").toString(), QString("10.1.2.3"));
    QVERIFY(click(waitItem("ethernetSave")));
    QVERIFY(peer.waitForMessage("vexo/network/ethernet/config/set", 10000));
    const QList<MqttPeer::Message> sent = networkCommands(peer);
    QCOMPARE(sent.size(), 1);
    const QJsonObject sentConfig = QJsonDocument::fromJson(sent.first().payload).object();
    QCOMPARE(sentConfig.value("method").toString(), QString("manual"));
    QCOMPARE(sentConfig.value("address").toString(), QString("10.1.2.3"));
    QCOMPARE(sentConfig.value("netmask").toString(), QString("255.255.255.0"));

    QVERIFY(click(waitItem("menuButton")));
    QVERIFY(click(waitItem("menuReboot")));
    QVERIFY(click(waitItem("popupYes")));
    QVERIFY(TestUtil::waitUntil([&] { return gui.screen() == "Busy" && gui.message() == "Rebooting"; }));
    QVERIFY(peer.waitForMessage("vexo/inspector/power/reboot/request/1", 10000));
}

// Starts Xvfb on a display number that is free, and waits until it accepts clients.
// Returns the display number, or -1.
int startXvfb(PeerProcess &xvfb)
{
    for (int n = 100 + int(QCoreApplication::applicationPid() % 300), tries = 0; tries < 20; ++n, ++tries) {
        if (QFile::exists(QString("/tmp/.X%1-lock").arg(n)) || QFile::exists(QString("/tmp/.X11-unix/X%1").arg(n)))
            continue;
        if (!xvfb.start("Xvfb", {QString(":%1").arg(n), "-screen", "0", "1024x600x24", "-nolisten", "tcp"}, ""))
            continue;
        QElapsedTimer waited;
        waited.start();
        while (xvfb.isRunning() && waited.elapsed() < 10000) {
            if (QFile::exists(QString("/tmp/.X11-unix/X%1").arg(n)))
                return n;
            QThread::msleep(20);  // no event loop yet: poll the socket's appearance
        }
        xvfb.stop();
    }
    return -1;
}

int main(int argc, char *argv[])
{
    PeerProcess xvfb(QStringLiteral("Xvfb"));
    const int display = startXvfb(xvfb);
    if (display < 0) {
        qCritical("Xvfb did not start");
        return 1;
    }
    qputenv("DISPLAY", QByteArray(":") + QByteArray::number(display));
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("QT_QUICK_BACKEND", "software");
    manager::Logger::instance()->setSyslog(false);
    int rc;
    {
        QGuiApplication app(argc, argv);
        TstGuiInput test;
        rc = QTest::qExec(&test, argc, argv);
    }
    xvfb.stop();
    return rc;
}

#include "tst_guiinput.moc"
