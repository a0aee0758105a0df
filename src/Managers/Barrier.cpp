#include "Barrier.h"

#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Log.h"
#include "Common/Secrets.h"

#include <QMetaEnum>

namespace manager {

namespace {

ZUKA_LOG_CATEGORY(logCategory, "managers.barrier")
const Log log("[Barrier] ", logCategory);

bool bit(quint32 word, int n)
{
    return (word >> n) & 1u;
}

// Status word bits.
constexpr int BitReady = 0;
constexpr int BitErrorPresent = 1;
constexpr int BitNoHoming = 2;
constexpr int BitTemperature = 4;
constexpr int BitPriority = 13;
constexpr int BitClosed = 20;
constexpr int BitClosing = 21;
constexpr int BitOpening = 22;
constexpr int BitOpen = 23;
// Loop word bits.
constexpr int LoopShortCircuit = 12;
constexpr int LoopInactive = 13;
constexpr int LoopError = 15;

// The address as the log shows it: a password or credentials in its query masked.
QString urlText(const QUrl &url)
{
    return Secrets::maskUrls(url.toString());
}

} // namespace

Barrier::Barrier(Config &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_link(log)
{
    initTimers();
    connect(&m_link, &ModbusLink::stateChanged, this, &Barrier::onClientStateChanged);
    initClient();
    connect(&m_config, &Config::configChanged, this, &Barrier::onConfigChanged);
}

Barrier::~Barrier()
{
    m_pollTimer.stop();
    m_reconnectTimer.stop();
    m_link.disconnect(this);
}

QString Barrier::stateToStr(int state)
{
    switch (state) {
    case Init: return QStringLiteral("Init");
    case Busy: return QStringLiteral("Busy");
    case Ready: return QStringLiteral("Ready");
    case Error: return QStringLiteral("Error");
    default: return QStringLiteral("Unknown");
    }
}

QString Barrier::stateString() const
{
    return QString::fromLatin1(QMetaEnum::fromType<State>().valueToKey(m_state));
}

quint32 Barrier::readWords(const QModbusDataUnit &unit, int start, int count)
{
    if (count <= 0 || start < 0 || start + count > int(unit.valueCount()))
        return 0;
    if (count == 1)
        return unit.value(start);
    return (quint32(unit.value(start)) << 16) | unit.value(start + 1);
}

QUrl Barrier::parseUrl(const QString &text)
{
    return QUrl(text.contains(QLatin1String("//")) ? text : QStringLiteral("tcp://") + text, QUrl::TolerantMode);
}

void Barrier::initTimers()
{
    m_pollTimer.setInterval(PollIntervalMs);
    m_pollTimer.setSingleShot(false);
    connect(&m_pollTimer, &QTimer::timeout, this, &Barrier::readStatus);
    m_reconnectTimer.setInterval(ReconnectIntervalMs);
    m_reconnectTimer.setSingleShot(true);
    connect(&m_reconnectTimer, &QTimer::timeout, &m_link, &ModbusLink::connectDevice);
}

void Barrier::initClient()
{
    const QUrl url = parseUrl(m_config.get(Key::BarrierUrl).toString());
    const int timeout = m_config.get(Key::BarrierTimeout).toInt();
    const int retries = m_config.get(Key::BarrierRetries).toInt();
    log.info("Initializing client : address=", urlText(url), ", timeout=", timeout, " msec, retries=", retries);

    m_link.configure(url.host(), url.port(), timeout, retries);
}

void Barrier::onConfigChanged(const QVariantMap &changes)
{
    if (!Config::contains(changes, QStringLiteral("barrier\\/.+")))
        return;
    log.warn("Configuration changed. Applying.");
    initClient();
}

void Barrier::forgetWords()
{
    m_wordsKnown = false;
    m_statusVerdict = Verdict{true, Ready, QString()};
    m_loopAVerdict = Verdict{};
    m_loopBVerdict = Verdict{};
}

void Barrier::onClientStateChanged(QModbusDevice::State state)
{
    const QString url = urlText(parseUrl(m_config.get(Key::BarrierUrl).toString()));
    switch (state) {
    case QModbusDevice::UnconnectedState:
        log.info("Disconnected from : ", url);
        forgetWords();
        setState(Error, QStringLiteral("Disconnected"));
        m_pollTimer.stop();
        m_reconnectTimer.start();
        break;
    case QModbusDevice::ConnectingState:
        log.info("Connecting to : ", url);
        m_pollTimer.stop();
        m_reconnectTimer.stop();
        break;
    case QModbusDevice::ConnectedState:
        // The barrier is active again only once the controller has answered a status read:
        // a connection alone says nothing of it (a wrong unit id is never answered).
        log.info("Connected to : ", url);
        forgetWords();
        m_failedReads = 0;
        m_pollTimer.start();
        m_reconnectTimer.stop();
        break;
    case QModbusDevice::ClosingState:
        log.info("Connection closed");
        forgetWords();
        setState(Error, QStringLiteral("Connection closed"));
        m_pollTimer.stop();
        m_reconnectTimer.stop();
        break;
    }
}

Deferred<QModbusDataUnit> Barrier::sendReadRequest(const QModbusDataUnit &unit)
{
    return m_link.read(unit, quint8(m_config.get(Key::BarrierUnitId).toInt()));
}

Deferred<QModbusDataUnit> Barrier::sendWriteRequest(const QModbusDataUnit &unit, const std::function<void()> &writing)
{
    return m_link.write(unit, quint8(m_config.get(Key::BarrierUnitId).toInt()), writing);
}

Deferred<> Barrier::open(bool priority, const std::function<void()> &writing)
{
    Deferred<> result;
    const QModbusDataUnit unit(QModbusDataUnit::HoldingRegisters, CommandRegister,
                               QVector<quint16>{priority ? CommandPriorityOpen : CommandOpen});
    sendWriteRequest(unit, writing)
        .done([this, result](const QModbusDataUnit &) {
            openTaken();
            result.resolve();
        })
        .fail([this, result](const QModbusDataUnit &) {
            m_openFailed = true;
            result.rejectZero();
        });
    return result;
}

void Barrier::openTaken()
{
    m_openFailed = false;
    m_boomSeen = false;
    m_openSent.start();
    setIsOpen(true);
}

Deferred<> Barrier::close()
{
    Deferred<> result;
    const QModbusDataUnit unit(QModbusDataUnit::HoldingRegisters, CommandRegister, QVector<quint16>{CommandClose});
    sendWriteRequest(unit)
        .done([result](const QModbusDataUnit &) { result.resolve(); })
        .fail([result](const QModbusDataUnit &) { result.rejectZero(); });
    return result;
}

void Barrier::readStatus()
{
    m_pollTimer.stop();
    const QModbusDataUnit unit(QModbusDataUnit::HoldingRegisters, StatusRegister, StatusBlockSize);
    sendReadRequest(unit).done([this](const QModbusDataUnit &answer) {
        const bool connected = this->connected();
        m_failedReads = applyStatus(answer) ? 0 : m_failedReads + 1;
        // A controller that answers, but never with its words (an exception each time), is
        // lost as one that does not answer at all: the connection goes and is made again.
        if (connected && m_failedReads >= FailedReadsLost) {
            log.error("Status read failed ", m_failedReads, " times in a row");
            m_link.disconnectDevice();
            return;
        }
        if (!m_pollTimer.isActive() && connected)
            m_pollTimer.start();
    });
}

bool Barrier::applyStatus(const QModbusDataUnit &answer)
{
    if (!answer.isValid() || int(answer.valueCount()) < StatusBlockSize)
        return false;
    setStatus(readWords(answer, 0, 2));
    setLoopA(answer.value(4));
    setLoopB(answer.value(5));
    m_wordsKnown = true;
    applyVerdicts();
    emit statusRead();
    return true;
}

void Barrier::setState(State state, const QString &reason)
{
    if (state == m_state && reason == m_reason)
        return;
    const QString reasonText = reason.isEmpty() ? QString() : QStringLiteral("(reason=") + reason + QLatin1Char(')');
    log.info(QStringLiteral("State changed : (%1) %2 %3").arg(int(state)).arg(stateToStr(state), reasonText));
    m_state = state;
    m_reason = reason;
    emit stateChanged();
}

void Barrier::setIsOpen(bool value)
{
    if (value == m_isOpen)
        return;
    m_isOpen = value;
    m_lastChange = QDateTime::currentDateTime();
    emit isOpenChanged();
    if (value)
        emit barrierOpened();
    else
        emit barrierClosed();
}

void Barrier::setIsPriority(bool value)
{
    if (value == m_isPriority)
        return;
    if (value)
        log.warn("Detected priority open/close");
    else
        log.warn("Priority open/close cleared");
    m_isPriority = value;
    emit isPriorityChanged();
}

void Barrier::setStatus(quint32 word)
{
    if (m_wordsKnown && word == m_status)
        return;
    m_status = word;

    Verdict v = m_statusVerdict;
    if (bit(word, BitErrorPresent))
        v = {true, Error, QStringLiteral("Error present")};
    if (bit(word, BitNoHoming))
        v = {true, Error, QStringLiteral("Homing not performed")};
    if (bit(word, BitTemperature))
        v = {true, Error, QStringLiteral("Control temperature exceeded")};

    setIsPriority(bit(word, BitPriority));

    const bool closed = bit(word, BitClosed);
    const bool moving = bit(word, BitOpening) || bit(word, BitClosing);
    const bool open = bit(word, BitOpen) && !closed;
    // After an open command that failed, the boom seen moving or open shows that the
    // controller acted on it all the same: it counts as sent.
    if (m_openFailed && (moving || bit(word, BitOpen)))
        openTaken();
    if (m_openSent.isValid()) {
        // A word read before the controller has acted on an open command still says
        // closed: only a word that says closed and nothing else counts, once the boom was
        // seen on its way or open, or after the grace.
        m_boomSeen = m_boomSeen || moving || open;
        if (closed && !moving && !bit(word, BitOpen) && (m_boomSeen || m_openSent.hasExpired(OpenGraceMs))) {
            m_openSent.invalidate();
            setIsOpen(false);
        } else if (open) {
            setIsOpen(true);
        }
    } else if (closed) {
        setIsOpen(false);
    } else if (bit(word, BitOpen)) {
        setIsOpen(true);
    }

    const quint32 angle = word >> 24;
    if (bit(word, BitClosing)) {
        v = {true, Busy, QStringLiteral("Closing")};
        log.info("Boom is closing : ", angle, " degrees");
    } else if (bit(word, BitOpening)) {
        v = {true, Busy, QStringLiteral("Opening")};
        log.info("Boom is opening : ", angle, " degrees");
    } else if (bit(word, BitReady)) {
        v = {true, Ready, QString()};
    }
    m_statusVerdict = v;
}

void Barrier::setLoop(char name, quint16 word, quint16 &stored, Verdict &verdict, void (Barrier::*changed)())
{
    if (m_wordsKnown && word == stored)
        return;
    log.info("Loop ", name, " changed : ", QString::number(word, 16));
    const bool occupiedChanged = (word & 1u) != (stored & 1u);
    stored = word;
    if (occupiedChanged)
        emit(this->*changed)();

    verdict = Verdict{};
    if (bit(word, LoopInactive)) {
        log.warn("Loop ", name, " is inactive");
        return;
    }
    if (bit(word, LoopShortCircuit))
        verdict = {true, Error, QStringLiteral("Loop %1 short-circuit").arg(QLatin1Char(name))};
    if (bit(word, LoopError))
        verdict = {true, Error, QStringLiteral("Loop %1 error").arg(QLatin1Char(name))};
}

void Barrier::setLoopA(quint16 word)
{
    setLoop('A', word, m_loopA, m_loopAVerdict, &Barrier::loopAChanged);
}

void Barrier::setLoopB(quint16 word)
{
    setLoop('B', word, m_loopB, m_loopBVerdict, &Barrier::loopBChanged);
}

// The state follows the three words together: a loop fault (loop B's over loop A's)
// over what the status word says.
void Barrier::applyVerdicts()
{
    const Verdict &v = m_loopBVerdict.set ? m_loopBVerdict : m_loopAVerdict.set ? m_loopAVerdict : m_statusVerdict;
    if (v.set)
        setState(v.state, v.reason);
}

} // namespace manager
