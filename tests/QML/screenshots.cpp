// Renders every screen of the touch interface at 1024x600 in one language: a PNG per screen
// and texts.json with the texts each screen shows. The event log and the system inspector
// are the real objects; the other context objects are the stand-ins of holders.qml, set to
// the values each screen needs. Before anything is rendered, every property, signal and
// function of a stand-in must exist by name on the real class it stands for (so a rename
// in C++ fails here rather than leaving the screens bound to a stand-in that still has it).
//   zuka_screenshots --locale el_GR --out DIR
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Mqtt/MqttClient.h"
#include "Engines/Terminal.h"
#include "GUI/EventManager.h"
#include "GUI/GUIManager.h"
#include "GUI/QmlSetup.h"
#include "Managers/Ethernet.h"
#include "Managers/Inspector.h"
#include "Managers/MIOBoard.h"
#include "Managers/Network.h"
#include "Models/IPv4.h"

#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJSValue>
#include <QJSValueIterator>
#include <QSet>
#include <QLocale>
#include <QMetaProperty>
#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQuickItem>
#include <QTemporaryDir>
#include <QQuickWindow>
#include <QTranslator>
#include <QUrl>

#include <functional>

namespace {

struct Step
{
    QString name;
    std::function<void()> apply;
};

QObject *g_holders = nullptr;
QQuickWindow *g_window = nullptr;

QObject *holder(const char *path)
{
    QObject *o = g_holders;
    for (const QString &part : QString::fromLatin1(path).split('.'))
        o = o->property(part.toLatin1()).value<QObject *>();
    return o;
}

void set(const char *path, const char *name, const QVariant &value)
{
    holder(path)->setProperty(name, value);
}

// The item of that name in the window's item tree (pop-ups included); shown: the first one
// on show.
QQuickItem *findItem(QQuickItem *item, const QString &name, bool shown = false)
{
    if (shown && !item->isVisible())
        return nullptr;
    if (item->objectName() == name)
        return item;
    const QList<QQuickItem *> children = item->childItems();
    for (QQuickItem *child : children) {
        if (QQuickItem *found = findItem(child, name, shown))
            return found;
    }
    return nullptr;
}

// Pixels between a message's icon and its text below, on the steps whose screens set them apart.
const QHash<QString, int> MessageGaps{{QStringLiteral("Success-collect"), 50}};

QQuickItem *settingsPage()
{
    QQuickItem *page = findItem(g_window->contentItem(), QStringLiteral("settingsScreen"));
    if (!page)
        qFatal("No settings screen");
    return page;
}

QVariant call(QObject *o, const char *method, const QVariant &arg = QVariant())
{
    QVariant ret;
    if (arg.isValid())
        QMetaObject::invokeMethod(o, method, Q_RETURN_ARG(QVariant, ret), Q_ARG(QVariant, arg));
    else
        QMetaObject::invokeMethod(o, method, Q_RETURN_ARG(QVariant, ret));
    return ret;
}

QQuickItem *currentPage()
{
    auto *page = settingsPage()->property("currentPage").value<QQuickItem *>();
    if (!page)
        qFatal("No page open");
    return page;
}

void showScreen(const QString &screen, const QString &message = QString(), const QString &plate = QString())
{
    // The window's pop-up belongs to the step that opened it.
    if (auto *popup = g_window->property("popup").value<QObject *>())
        QMetaObject::invokeMethod(popup, "close");
    set("manager", "message", message);
    set("manager", "plate", plate);
    set("manager", "screen", screen);
}

void openSettings(int page = -1)
{
    showScreen(QStringLiteral("Settings"));
    call(settingsPage(), "reset");
    if (page >= 0)
        call(settingsPage(), "openPage", page);
}

// True while a page transition or a pop-up's opening or closing runs under item.
bool animating(QQuickItem *item)
{
    if (item->inherits("QQuickStackView") && item->property("busy").toBool())
        return true;
    // A pop-up's own item is shown from the start of its opening to the end of its closing.
    if (item->inherits("QQuickPopupItem") && item->isVisible() && item->parent()
        && !item->parent()->property("opened").toBool())
        return true;
    // The keyboard slides in from the bottom edge.
    if (item->objectName() == QLatin1String("inputPanel") && item->isVisible() && item->parentItem()
        && item->y() + item->height() > item->parentItem()->height() + 0.5)
        return true;
    const QList<QQuickItem *> children = item->childItems();
    for (QQuickItem *child : children) {
        if (animating(child))
            return true;
    }
    return false;
}

// Lets bindings, transitions and two frames pass (bounded by three seconds).
void settle()
{
    QElapsedTimer t;
    t.start();
    int frames = 0;
    const QMetaObject::Connection c = QObject::connect(g_window, &QQuickWindow::frameSwapped, [&] { ++frames; });
    while (t.elapsed() < 3000 && (animating(g_window->contentItem()) || frames < 2)) {
        g_window->update();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    QObject::disconnect(c);
}

qreal effectiveOpacity(QQuickItem *item)
{
    qreal o = 1;
    for (QQuickItem *i = item; i; i = i->parentItem())
        o *= i->opacity();
    return o;
}

// A text on the screen: what it says and where its letters are.
struct Shown
{
    QString text;
    QRectF drawn;         // the laid-out text in the window, cut by the items that clip it
    bool scrolled = false; // a field not being edited that shows the end of its text
};

void collectTexts(QQuickItem *item, QList<Shown> &out)
{
    if (!item->isVisible() || item->opacity() <= 0)
        return;
    const bool input = item->inherits("QQuickTextInput");
    if (item->inherits("QQuickText") || input) {
        const QString text = item->property("text").toString();
        const QRectF r = item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
        const QRectF win(0, 0, g_window->width(), g_window->height());
        if (!text.isEmpty() && effectiveOpacity(item) > 0 && r.intersects(win)) {
            // A text's bounding rectangle is where its layout puts the letters, past the
            // item's own edges when it does not fit; a field shows them in its box only.
            QRectF drawn = item->mapRectToScene(input ? item->boundingRect() & item->clipRect() : item->boundingRect());
            for (QQuickItem *p = item->parentItem(); p; p = p->parentItem())
                if (p->clip())
                    drawn &= p->mapRectToScene(p->clipRect());
            const bool scrolled = input && !item->hasActiveFocus() && item->boundingRect().left() < -0.5;
            out.append({text, drawn, scrolled});
        }
    }
    const QList<QQuickItem *> children = item->childItems();
    for (QQuickItem *child : children)
        collectTexts(child, out);
}

// What a person would see as broken: a text cut by the window's edge, two texts drawn
// over each other, a field that shows the end of its text rather than its start.
QStringList layoutFaults(const QList<Shown> &shown)
{
    QStringList faults;
    const QRectF win(0, 0, g_window->width(), g_window->height());
    for (int i = 0; i < shown.size(); ++i) {
        const Shown &a = shown.at(i);
        if (a.drawn.isEmpty())
            continue;
        if (!win.adjusted(-1, -1, 1, 1).contains(a.drawn))
            faults << QStringLiteral("\"%1\" runs past the window's edge").arg(a.text);
        if (a.scrolled)
            faults << QStringLiteral("field \"%1\" shows the end of its text").arg(a.text);
        for (int j = i + 1; j < shown.size(); ++j) {
            const QRectF both = a.drawn & shown.at(j).drawn;
            if (both.width() > 2 && both.height() > 2)
                faults << QStringLiteral("\"%1\" and \"%2\" overlap").arg(a.text, shown.at(j).text);
        }
    }
    return faults;
}

// The icons drawn at build time ("image://icons/…") on the screen: each one found, and shown
// at the size it was drawn at (scaled, it would lose its crispness).
void iconFaults(QQuickItem *item, QStringList &faults)
{
    // What is not shown is not looked at: a screen being built in the background is
    // half-made, its images not asked for yet.
    if (!item->isVisible())
        return;
    const QUrl source = item->property("source").toUrl();
    if (item->inherits("QQuickImage") && source.scheme() == QLatin1String("image")) {
        const QSize drawn(int(item->implicitWidth()), int(item->implicitHeight()));
        const QSize shown(qRound(item->width()), qRound(item->height()));
        // Null, Ready, Loading, Error.
        const int status = item->property("status").toInt();
        if (status == 2)
            ; // looked at on a later step
        else if (status == 3 || drawn.isEmpty())
            faults << QStringLiteral("icon %1 not found").arg(source.toString());
        else if (drawn != shown)
            faults << QStringLiteral("icon %1 drawn at %2x%3, shown at %4x%5")
                          .arg(source.toString()).arg(drawn.width()).arg(drawn.height())
                          .arg(shown.width()).arg(shown.height());
    }
    const QList<QQuickItem *> children = item->childItems();
    for (QQuickItem *child : children)
        iconFaults(child, faults);
}

// The meta-object of a property's type when it is a pointer to a QObject class, else null.
const QMetaObject *objectType(const QMetaProperty &property)
{
    return QMetaType::metaObjectForType(property.userType());
}

bool hasMember(const QMetaObject *real, const QString &name)
{
    if (real->indexOfProperty(name.toLatin1()) >= 0)
        return true;
    for (int i = 0; i < real->methodCount(); ++i) {
        if (QString::fromLatin1(real->method(i).name()) == name)
            return true;
    }
    return false;
}

void checkObject(const QString &path, QObject *standIn, const QMetaObject *real, QStringList &drift);

// A stand-in value that is an object (a QML object or a plain script object) is checked
// against the class of the real property it stands for.
void checkValue(const QString &path, const QVariant &value, const QMetaObject *real, QStringList &drift)
{
    if (!real)
        return;
    if (QObject *object = value.value<QObject *>()) {
        checkObject(path, object, real, drift);
        return;
    }
    QVariantMap members;
    if (value.userType() == qMetaTypeId<QJSValue>()) {
        const QJSValue script = value.value<QJSValue>();
        if (!script.isObject() || script.isArray() || script.isCallable() || script.isQObject())
            return;
        for (QJSValueIterator it(script); it.hasNext();) {
            it.next();
            members.insert(it.name(), it.value().isCallable() ? QVariant() : it.value().toVariant());
        }
    } else if (value.userType() == QMetaType::QVariantMap) {
        members = value.toMap();
    }
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
        if (!hasMember(real, it.key())) {
            drift << QStringLiteral("%1.%2 is not on %3").arg(path, it.key(), QString::fromLatin1(real->className()));
            continue;
        }
        const int index = real->indexOfProperty(it.key().toLatin1());
        if (index >= 0)
            checkValue(path + '.' + it.key(), it.value(), objectType(real->property(index)), drift);
    }
}

void checkObject(const QString &path, QObject *standIn, const QMetaObject *real, QStringList &drift)
{
    const QMetaObject *mo = standIn->metaObject();
    QSet<QByteArray> notifiers;
    for (int i = QObject::staticMetaObject.propertyCount(); i < mo->propertyCount(); ++i) {
        const QMetaProperty property = mo->property(i);
        notifiers.insert(property.notifySignal().name());
        const int index = real->indexOfProperty(property.name());
        if (index < 0) {
            drift << QStringLiteral("%1.%2 is not on %3").arg(path, property.name(), real->className());
            continue;
        }
        checkValue(path + '.' + property.name(), property.read(standIn), objectType(real->property(index)), drift);
    }
    // Signals and functions; a stand-in property's own change signal is QML's, not the class's.
    for (int i = QObject::staticMetaObject.methodCount(); i < mo->methodCount(); ++i) {
        const QByteArray name = mo->method(i).name();
        if (!notifiers.contains(name) && !hasMember(real, QString::fromLatin1(name)))
            drift << QStringLiteral("%1.%2() is not on %3").arg(path, name, real->className());
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("zuka-terminal-ui"));
    QGuiApplication::setApplicationVersion(QStringLiteral(APP_VERSION));

    QCommandLineParser parser;
    parser.addOptions({{"locale", "Interface language", "locale", "el_GR"}, {"out", "Output folder", "dir", "."}});
    parser.process(app);
    const QString localeName = parser.value("locale");
    QDir out(parser.value("out"));
    out.mkpath(QStringLiteral("."));

    Q_INIT_RESOURCE(fonts);
    QFontDatabase::addApplicationFont(QStringLiteral(":/qml/fonts/DejaVuSans.ttf"));
    QGuiApplication::setFont(QFont(QStringLiteral("DejaVu Sans")));

    // Before the engine, so that they outlive its bindings. The real event log with two entries, and the real inspector client (not connected).
    QTemporaryDir scratch;
    Config config(scratch.filePath(QStringLiteral("gui.conf")), ConfigDefaults);
    EventManager events(config, nullptr, scratch.filePath(QStringLiteral("events.ini")));
    events.push(new Event(QStringLiteral("General"), QStringLiteral("Application started"), QString(),
                          QDateTime::currentDateTime().addSecs(-60)));
    events.push(new EventLogin(QStringLiteral("General"), QStringLiteral("Maintenance login"),
                               QStringLiteral("User ID : 0"), QDateTime::currentDateTime()));
    manager::MqttClient mqtt;
    manager::Inspector inspector(mqtt, config.get(QStringLiteral("topics/inspector")).toString());
    QQmlApplicationEngine engine;
    QmlSetup::prepare(engine);

    // The language as the root object applies it: Greek for anything but English.
    const QLocale locale(localeName);
    QTranslator translator;
    if (locale.language() != QLocale::English) {
        if (!translator.load(QStringLiteral(":/qml/translations/zuka-terminal-ui_el_GR.qm"))
            || !QCoreApplication::installTranslator(&translator)) {
            qCritical("Cannot install the translation");
            return 1;
        }
    }
    QLocale::setDefault(locale);

    QQmlComponent holdersComponent(&engine, QUrl::fromLocalFile(QStringLiteral(TESTS_DIR "/QML/holders.qml")));
    g_holders = holdersComponent.create();
    if (!g_holders) {
        qCritical().noquote() << holdersComponent.errorString();
        return 1;
    }
    const QList<QPair<const char *, const QMetaObject *>> standIns = {
        {"manager", &GUIManager::staticMetaObject},
        {"terminal", &Terminal::staticMetaObject},
        {"network", &manager::Network::staticMetaObject},
        {"board", &manager::MIOBoard::staticMetaObject},
    };
    // Types the real classes only declare ahead, as the root object makes them known.
    qRegisterMetaType<manager::Ethernet *>();
    qRegisterMetaType<manager::Connection *>();
    qRegisterMetaType<IPv4 *>();
    QStringList drift;
    for (const auto &standIn : standIns) {
        checkObject(QString::fromLatin1(standIn.first), holder(standIn.first), standIn.second, drift);
        engine.rootContext()->setContextProperty(QString::fromLatin1(standIn.first), holder(standIn.first));
    }
    if (!drift.isEmpty()) {
        qCritical().noquote() << "The stand-ins differ from the real classes:\n " << drift.join(QStringLiteral("\n  "));
        return 1;
    }
    engine.rootContext()->setContextProperty(QStringLiteral("inspector"), &inspector);
    engine.rootContext()->setContextProperty(QStringLiteral("eventLogManager"), &events);
    set("manager", "language", localeName);

    engine.load(QUrl(QStringLiteral("qrc:/qml/main.qml")));
    if (engine.rootObjects().isEmpty())
        return 1;
    g_window = qobject_cast<QQuickWindow *>(engine.rootObjects().first());
    if (!g_window)
        return 1;
    g_window->setPosition(0, 0);
    // The keyboard follows the focused text field, which needs the window to have the focus.
    g_window->requestActivate();
    QElapsedTimer activating;
    activating.start();
    while (!g_window->isActive() && activating.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    const auto tr = [](const char *text) { return QCoreApplication::translate("GUIManager", text); };
    const QString plate = QStringLiteral("IKB-1234");
    const QString entry = QStringLiteral("CARD_VENDING_MACHINE");
    const QString exit = QStringLiteral("CARD_COLLECTION_MACHINE");
    // Texts longer than any screen has room for: they are fitted or cut short, never drawn
    // over other texts or past the window's edges.
    const QString longPlate = QStringLiteral("Palpr2-5d1f0c64-7a3e-4b9e-9f0d-1c2b3a4d5e6f");
    const QString longCode = QStringLiteral("Cccr1-5d1f0c64-7a3e-4b9e-9f0d-1c2b3a4d5e6f");
    const QString longText = QStringLiteral("Card dispenser jammed: the card could not be moved from the cartridge "
                                            "to the reader after three attempts, and the cartridge door reports "
                                            "open although it was closed at the start of the passage; "
                                            "Card_dispenser_service_reported_error_code_0x0003_at_/issue_call");

    const QList<Step> steps = {
        {"Busy", [&] { showScreen("Busy", tr("Initializing")); }},
        {"Busy-plate", [&] { showScreen("Busy", tr("Please wait"), plate); }},
        {"Busy-rebooting", [&] { showScreen("Busy", tr("Rebooting")); }},
        {"Busy-shutting-down", [&] { showScreen("Busy", tr("Shutting down")); }},
        {"Busy-exiting", [&] { showScreen("Busy", tr("Exiting")); }},
        {"DispenseScreen", [&] { set("terminal", "type", entry); showScreen("DispenseScreen", "", plate); }},
        {"CollectScreen", [&] {
             set("terminal", "type", exit);
             set("manager", "container", "QZXU1234568");
             showScreen("CollectScreen", "", plate);
         }},
        {"Success-collect", [&] { set("terminal", "type", entry); showScreen("Success", tr("Please collect your card"), plate); }},
        {"Success-thanks", [&] { set("terminal", "type", exit); showScreen("Success", tr("Thank you"), plate); }},
        {"CollectScreen-long-texts", [&] {
             set("terminal", "type", exit);
             set("manager", "container", longCode);
             showScreen("CollectScreen", "", longPlate);
         }},
        {"Success-long-texts", [&] { set("terminal", "type", exit); showScreen("Success", longText, longPlate); }},
        {"Busy-long-texts", [&] { showScreen("Busy", longText, longPlate); }},
        {"ErrorScreen", [&] { showScreen("ErrorScreen", "Card dispenser jammed"); }},
        {"ErrorScreen-long-text", [&] { showScreen("ErrorScreen", longText); }},
        {"OutOfOrder-long-reason", [&] { set("terminal", "reason", longText); showScreen("OutOfOrder"); }},
        {"OutOfOrder", [&] { set("terminal", "reason", "Barrier inactive"); showScreen("OutOfOrder"); }},
        {"InitPage", [&] { set("terminal", "reason", "Terminal not registered"); showScreen("InitPage"); }},
        {"Login", [&] { showScreen("Login"); }},
        {"Settings", [&] { openSettings(); }},
        {"Settings-dialog", [&] { openSettings(); QMetaObject::invokeMethod(settingsPage(), "ask", Q_ARG(QVariant, "Are you sure?"),
                                                                         Q_ARG(QVariant, QVariant()), Q_ARG(QVariant, QVariant())); }},
        {"Settings-Terminal", [&] { openSettings(0); }},
        {"Settings-Terminal-Configure", [&] { openSettings(0); call(settingsPage(), "openSubPage", "TerminalConfigPage.qml"); }},
        {"Settings-Diagnostics-1", [&] { openSettings(1); }},
        {"Settings-Diagnostics-2", [&] { openSettings(1); currentPage()->setProperty("pageIndex", 1); }},
        {"Settings-Region", [&] { openSettings(2); }},
        {"Settings-Audio", [&] { openSettings(3); }},
        {"Settings-Display", [&] { openSettings(4); }},
        {"Settings-Network-General", [&] { openSettings(5); }},
        {"Settings-Network-Ethernet", [&] { openSettings(5); currentPage()->setProperty("tab", 1); }},
        {"Settings-Ethernet-Configuration", [&] {
             call(g_holders, "setEthernetMethod", "manual");
             openSettings(5);
             call(settingsPage(), "openSubPage", "EthernetConfigPage.qml");
             settle();
             if (QQuickItem *field = findItem(currentPage(), QStringLiteral("ipAddress")))
                 field->forceActiveFocus();
         }},
        {"Settings-Ethernet-Invalid", [&] {
             call(g_holders, "setEthernetMethod", "manual");
             openSettings(5);
             call(settingsPage(), "openSubPage", "EthernetConfigPage.qml");
             settle();
             findItem(currentPage(), QStringLiteral("ipAddress"))->setProperty("text", "10.0.0.256");
             call(currentPage(), "save");
         }},
        {"Settings-Update", [&] { openSettings(6); }},
        {"Settings-Event-Log", [&] { openSettings(7); }},
    };

    QJsonObject texts;
    for (const Step &step : steps) {
        step.apply();
        settle();
        const QImage image = g_window->grabWindow();
        if (image.isNull() || !image.save(out.filePath(step.name + QStringLiteral(".png")))) {
            qCritical().noquote() << "Cannot grab or save" << step.name;
            return 1;
        }
        QList<Shown> shown;
        collectTexts(g_window->contentItem(), shown);
        QJsonArray list;
        for (const Shown &text : qAsConst(shown))
            list.append(text.text);
        texts.insert(step.name, list);
        QStringList faults = layoutFaults(shown);
        iconFaults(g_window->contentItem(), faults);
        if (MessageGaps.contains(step.name)) {
            QQuickItem *icon = findItem(g_window->contentItem(), QStringLiteral("messageIcon"), true);
            QQuickItem *text = findItem(g_window->contentItem(), QStringLiteral("messageText"), true);
            const qreal gap = icon && text ? text->mapToScene({0, 0}).y() - icon->mapToScene({0, icon->height()}).y() : -1;
            if (qRound(gap) != MessageGaps.value(step.name))
                faults << QStringLiteral("message icon and text %1 pixels apart, not %2").arg(gap).arg(MessageGaps.value(step.name));
        }
        for (const QString &fault : qAsConst(faults))
            qWarning().noquote() << "Layout fault:" << step.name + ":" << fault;
    }

    QFile file(out.filePath(QStringLiteral("texts.json")));
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    file.write(QJsonDocument(texts).toJson());
    return 0;
}
