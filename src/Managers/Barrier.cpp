#include "Barrier.h"

#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Log.h"

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

QString urlText(const QUrl &url)
{
    return url.toDisplayString();
}

// Modbus TCP: the header (transaction, protocol, length of what follows, unit) before each
// PDU; a PDU has at most 253 bytes.
constexpr int HeaderSize = 7;
constexpr int MostLength = 254;
constexpr quint8 ReadHoldingRegisters = 3;
constexpr quint8 WriteSingleRegister = 6;
constexpr quint8 ExceptionBit = 0x80;
// How much of an answer that is not taken is logged.
constexpr int LoggedAnswerBytes = 64;

QByteArray twoWords(quint8 function, quint16 first, quint16 second)
{
    QByteArray pdu(5, '\0');
    pdu[0] = char(function);
    pdu[1] = char(first >> 8);
    pdu[2] = char(first & 0xFF);
    pdu[3] = char(second >> 8);
    pdu[4] = char(second & 0xFF);
    return pdu;
}

quint16 wordAt(const QByteArray &bytes, int at)
{
    return quint16(quint8(bytes.at(at)) << 8 | quint8(bytes.at(at + 1)));
}

QString answerText(const QByteArray &frame)
{
    return Log::outside(frame.left(LoggedAnswerBytes).toHex(' ')) + (frame.size() > LoggedAnswerBytes ? "..." : "");
}

} // namespace

Barrier::Barrier(Config &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
{
    initTimers();
    connect(&m_socket, &QAbstractSocket::stateChanged, this, &Barrier::onSocketStateChanged);
    connect(&m_socket, &QAbstractSocket::errorOccurred, this, [this] { log.error(m_socket.errorString()); });
    connect(&m_socket, &QIODevice::readyRead, this, &Barrier::onReadyRead);
    initClient();
    connect(&m_config, &Config::configChanged, this, &Barrier::onConfigChanged);
}

Barrier::~Barrier()
{
    // The socket closes its connection when it is destroyed, after this body: its state
    // changes may not reach this object any more.
    m_pollTimer.stop();
    m_reconnectTimer.stop();
    m_socket.disconnect(this);
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
    connect(&m_reconnectTimer, &QTimer::timeout, this, &Barrier::connectDevice);
}

void Barrier::initClient()
{
    const QUrl url = parseUrl(m_config.get(Key::BarrierUrl).toString());
    const int timeout = m_config.get(Key::BarrierTimeout).toInt();
    const int retries = m_config.get(Key::BarrierRetries).toInt();
    log.info("Initializing client : address=", urlText(url), ", timeout=", timeout, " msec, retries=", retries);

    const bool moved = url.host() != m_host || url.port() != m_port;
    m_host = url.host();
    m_port = url.port();
    m_timeout = qMax(10, timeout);
    m_retries = qMax(0, retries);

    // A connection to another address is ended first; connecting follows as soon as it is
    // closed. Otherwise a connected or connecting client ignores this request.
    if (moved && m_link != QModbusDevice::UnconnectedState) {
        m_connectWhenClosed = true;
        disconnectDevice();
        return;
    }
    connectDevice();
}

void Barrier::connectDevice()
{
    if (m_link != QModbusDevice::UnconnectedState)
        return;
    if (m_host.isEmpty() || m_port < 0 || m_port > 0xFFFF) {
        onClientStateChanged(m_link = QModbusDevice::ConnectingState);
        log.error("Invalid connection settings");
        onClientStateChanged(m_link = QModbusDevice::UnconnectedState);
        return;
    }
    m_socket.connectToHost(m_host, quint16(m_port));
}

void Barrier::disconnectDevice()
{
    if (m_link != QModbusDevice::UnconnectedState)
        m_socket.disconnectFromHost();
}

void Barrier::onSocketStateChanged(QAbstractSocket::SocketState state)
{
    QModbusDevice::State link = QModbusDevice::ConnectingState; // looking up the host, connecting
    if (state == QAbstractSocket::UnconnectedState)
        link = QModbusDevice::UnconnectedState;
    else if (state == QAbstractSocket::ConnectedState)
        link = QModbusDevice::ConnectedState;
    else if (state == QAbstractSocket::ClosingState)
        link = QModbusDevice::ClosingState;
    if (link == m_link)
        return;
    m_link = link;
    if (link == QModbusDevice::UnconnectedState || link == QModbusDevice::ClosingState) {
        // What was asked on the connection gets no answer any more.
        m_received.clear();
        while (!m_requests.isEmpty())
            finish(0, QStringLiteral("Connection closed"));
    }
    onClientStateChanged(link);
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
        if (m_connectWhenClosed) {
            m_connectWhenClosed = false;
            m_reconnectTimer.stop();
            QTimer::singleShot(0, this, &Barrier::connectDevice);
        } else {
            m_reconnectTimer.start();
        }
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

Deferred<QModbusDataUnit> Barrier::send(const QModbusDataUnit &unit, bool write)
{
    Deferred<QModbusDataUnit> result;
    const char *what = write ? "Write failed : " : "Read failed : ";
    // A failed read resolves with an invalid unit (the poll just skips it); a failed
    // write rejects, so that the caller knows the command did not reach the controller.
    if (m_link != QModbusDevice::ConnectedState || (write && unit.valueCount() < 1)) {
        log.error(m_link != QModbusDevice::ConnectedState ? "Not connected" : "Write failed : unable to send");
        write ? result.reject(QModbusDataUnit()) : result.resolve(QModbusDataUnit());
        return result;
    }
    Request request;
    request.transaction = m_nextTransaction++;
    request.unit = quint8(m_config.get(Key::BarrierUnitId).toInt());
    const QByteArray pdu = write ? twoWords(WriteSingleRegister, quint16(unit.startAddress()), unit.value(0))
                                 : twoWords(ReadHoldingRegisters, quint16(unit.startAddress()), quint16(unit.valueCount()));
    // Header: transaction id, protocol id 0, length of the unit id and the PDU, unit id.
    request.frame = twoWords(0, request.transaction, 0).mid(1) + twoWords(0, quint16(pdu.size() + 1), 0).mid(1, 2)
                    + char(request.unit) + pdu;
    request.asked = unit;
    request.triesLeft = m_retries;
    // Each try waits the time-out for the whole answer: one that never completes (a
    // controller reset mid-frame) does not hold the request, and the polls behind it.
    request.timer = new QTimer(this);
    request.timer->setSingleShot(true);
    request.timer->setInterval(m_timeout);
    const quint16 transaction = request.transaction;
    connect(request.timer, &QTimer::timeout, this, [this, transaction] { onTimeout(transaction); });
    request.done = [this, result, write, what](const QString &error, const QModbusDataUnit &answer, bool lost) {
        if (error.isEmpty()) {
            result.resolve(answer);
            return;
        }
        log.error(what, error);
        // No answer, or a stream out of step: the connection goes and is made again.
        if (!write && lost)
            disconnectDevice();
        write ? result.reject(QModbusDataUnit()) : result.resolve(QModbusDataUnit());
    };
    m_requests.append(request);
    m_socket.write(request.frame); // sent again as it stands on a retry
    request.timer->start();
    return result;
}

void Barrier::onTimeout(quint16 transaction)
{
    for (int i = 0; i < m_requests.size(); ++i) {
        Request &request = m_requests[i];
        if (request.transaction != transaction)
            continue;
        if (request.triesLeft-- > 0) {
            m_socket.write(request.frame);
            request.timer->start();
        } else {
            finish(i, QStringLiteral("Response timeout"), QModbusDataUnit(), true);
            if (!m_received.isEmpty()) // part of an answer: the stream is out of step
                disconnectDevice();
        }
        return;
    }
}

void Barrier::finish(int index, const QString &error, const QModbusDataUnit &answer, bool lost)
{
    const Request request = m_requests.takeAt(index);
    delete request.timer;
    request.done(error, answer, lost);
}

void Barrier::onReadyRead()
{
    m_received += m_socket.readAll();
    while (m_received.size() >= HeaderSize) {
        const int length = wordAt(m_received, 4);
        if (length < 2 || length > MostLength) {
            // No Modbus answer: what follows cannot be framed any more.
            const QString text = QStringLiteral("Answer out of step : ") + answerText(m_received);
            m_received.clear();
            if (m_requests.isEmpty())
                log.error(text);
            else
                finish(0, text, QModbusDataUnit(), true);
            disconnectDevice();
            return;
        }
        if (m_received.size() < 6 + length)
            return; // the rest is on its way (the request's time-out runs on)
        const QByteArray frame = m_received.left(6 + length);
        m_received.remove(0, 6 + length);
        if (m_requests.isEmpty()) {
            log.error("Answer to no request : ", answerText(frame));
            continue;
        }
        // The request it answers: the one of its transaction, else the oldest waiting (which
        // it fails: an answer to another request is no answer to this one).
        int index = 0;
        for (int i = 0; i < m_requests.size(); ++i)
            if (m_requests.at(i).transaction == wordAt(frame, 0))
                index = i;
        QModbusDataUnit answer = m_requests.at(index).asked;
        const QString error = readAnswer(frame, m_requests.at(index).frame, answer);
        finish(index, error, answer);
    }
}

QString Barrier::readAnswer(const QByteArray &frame, const QByteArray &request, QModbusDataUnit &answer)
{
    if (frame.size() <= HeaderSize || request.size() <= HeaderSize)
        return QStringLiteral("Invalid answer : ") + answerText(frame);
    const QByteArray pdu = frame.mid(HeaderSize);
    const quint8 function = quint8(pdu.at(0));
    if (frame.left(4) != request.left(4) || frame.at(6) != request.at(6)
        || (function & ~ExceptionBit) != quint8(request.at(HeaderSize)))
        return QStringLiteral("Answer to another request : ") + answerText(frame);
    if (function & ExceptionBit) {
        if (pdu.size() != 2)
            return QStringLiteral("Invalid answer : ") + answerText(frame);
        return QStringLiteral("Modbus Exception Response. : exceptionCode=0x") + QString::number(quint8(pdu.at(1)), 16);
    }
    bool valid = false;
    if (function == WriteSingleRegister) {
        valid = pdu == request.mid(HeaderSize); // the request echoed
    } else {
        const int count = int(answer.valueCount());
        valid = pdu.size() == 2 + 2 * count && quint8(pdu.at(1)) == 2 * count;
        for (int i = 0; valid && i < count; ++i)
            answer.setValue(i, wordAt(pdu, 2 + 2 * i));
    }
    return valid ? QString() : QStringLiteral("Invalid answer : ") + answerText(frame);
}

Deferred<QModbusDataUnit> Barrier::sendReadRequest(const QModbusDataUnit &unit)
{
    return send(unit, false);
}

Deferred<QModbusDataUnit> Barrier::sendWriteRequest(const QModbusDataUnit &unit)
{
    return send(unit, true);
}

Deferred<> Barrier::open(bool priority)
{
    Deferred<> result;
    const QModbusDataUnit unit(QModbusDataUnit::HoldingRegisters, CommandRegister,
                               QVector<quint16>{priority ? CommandPriorityOpen : CommandOpen});
    sendWriteRequest(unit)
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
        const bool connected = m_link == QModbusDevice::ConnectedState;
        m_failedReads = applyStatus(answer) ? 0 : m_failedReads + 1;
        // A controller that answers, but never with its words (an exception each time), is
        // lost as one that does not answer at all: the connection goes and is made again.
        if (connected && m_failedReads >= FailedReadsLost) {
            log.error("Status read failed ", m_failedReads, " times in a row");
            disconnectDevice();
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
