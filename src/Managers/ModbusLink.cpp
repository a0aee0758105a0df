#include "ModbusLink.h"

#include <utility>

namespace manager {

namespace {

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

ModbusLink::ModbusLink(const Log &log, QObject *parent)
    : QObject(parent)
    , m_log(log)
{
    m_tryTimer.setSingleShot(true);
    m_owedTimer.setSingleShot(true);
    connect(&m_tryTimer, &QTimer::timeout, this, &ModbusLink::onTryTimeout);
    connect(&m_owedTimer, &QTimer::timeout, this, [this] {
        m_owed = 0; // none for as long: dropped by the controller or lost
        sendNext();
    });
    connect(&m_socket, &QAbstractSocket::stateChanged, this, &ModbusLink::onSocketStateChanged);
    connect(&m_socket, &QAbstractSocket::errorOccurred, this, [this] { m_log.error(m_socket.errorString()); });
    connect(&m_socket, &QIODevice::readyRead, this, &ModbusLink::onReadyRead);
}

ModbusLink::~ModbusLink()
{
    // The socket closes its connection when it is destroyed, after this body: its state
    // changes may not reach this object any more.
    m_tryTimer.stop();
    m_owedTimer.stop();
    m_socket.disconnect(this);
}

void ModbusLink::configure(const QString &host, int port, int timeoutMs, int retries)
{
    const bool moved = host != m_host || port != m_port;
    m_host = host;
    m_port = port;
    m_timeout = qMax(10, timeoutMs);
    m_retries = qMax(0, retries);
    if (moved && m_state != QModbusDevice::UnconnectedState) {
        m_connectWhenClosed = true;
        disconnectDevice();
        return;
    }
    connectDevice();
}

void ModbusLink::connectDevice()
{
    if (m_state != QModbusDevice::UnconnectedState)
        return;
    if (m_host.isEmpty() || m_port < 0 || m_port > 0xFFFF) {
        emit stateChanged(m_state = QModbusDevice::ConnectingState);
        m_log.error("Invalid connection settings");
        emit stateChanged(m_state = QModbusDevice::UnconnectedState);
        return;
    }
    m_socket.connectToHost(m_host, quint16(m_port));
}

void ModbusLink::disconnectDevice()
{
    if (m_state != QModbusDevice::UnconnectedState)
        m_socket.disconnectFromHost();
}

void ModbusLink::onSocketStateChanged(QAbstractSocket::SocketState socketState)
{
    QModbusDevice::State state = QModbusDevice::ConnectingState; // looking up the host, connecting
    if (socketState == QAbstractSocket::UnconnectedState)
        state = QModbusDevice::UnconnectedState;
    else if (socketState == QAbstractSocket::ConnectedState)
        state = QModbusDevice::ConnectedState;
    else if (socketState == QAbstractSocket::ClosingState)
        state = QModbusDevice::ClosingState;
    if (state == m_state)
        return;
    m_state = state;
    if (state == QModbusDevice::UnconnectedState || state == QModbusDevice::ClosingState) {
        // What was asked on the connection gets no answer any more.
        m_received.clear();
        m_owed = 0;
        m_owedTimer.stop();
        while (!m_requests.isEmpty())
            finish(QStringLiteral("Connection closed"));
    }
    emit stateChanged(state);
    if (state == QModbusDevice::UnconnectedState && m_connectWhenClosed) {
        m_connectWhenClosed = false;
        QTimer::singleShot(0, this, &ModbusLink::connectDevice);
    }
}

Deferred<QModbusDataUnit> ModbusLink::read(const QModbusDataUnit &unit, quint8 unitId)
{
    return send(unit, unitId, false);
}

Deferred<QModbusDataUnit> ModbusLink::write(const QModbusDataUnit &unit, quint8 unitId,
                                            const std::function<void()> &writing)
{
    return send(unit, unitId, true, writing);
}

Deferred<QModbusDataUnit> ModbusLink::send(const QModbusDataUnit &unit, quint8 unitId, bool write,
                                           const std::function<void()> &writing)
{
    Deferred<QModbusDataUnit> result;
    // A failed read resolves with an invalid unit (a poll just skips it); a failed write
    // rejects, so that the caller knows the command did not reach the controller.
    if (m_state != QModbusDevice::ConnectedState || (write && unit.valueCount() < 1)) {
        m_log.error(m_state != QModbusDevice::ConnectedState ? "Not connected" : "Write failed : unable to send");
        write ? result.reject(QModbusDataUnit()) : result.resolve(QModbusDataUnit());
        return result;
    }
    Request request;
    request.transaction = m_nextTransaction++;
    request.write = write;
    const QByteArray pdu = write ? twoWords(WriteSingleRegister, quint16(unit.startAddress()), unit.value(0))
                                 : twoWords(ReadHoldingRegisters, quint16(unit.startAddress()), quint16(unit.valueCount()));
    // Header: transaction id, protocol id 0, length of the unit id and the PDU, unit id.
    request.frame = twoWords(0, request.transaction, 0).mid(1) + twoWords(0, quint16(pdu.size() + 1), 0).mid(1, 2)
                    + char(unitId) + pdu;
    request.asked = unit;
    request.triesLeft = m_retries;
    request.writing = writing;
    request.result = result;
    // A command goes out before the reads still waiting (the next poll can wait for it); after
    // the commands asked before it.
    int at = m_requests.size();
    if (write) {
        at = onWire() ? 1 : 0;
        while (at < m_requests.size() && m_requests.at(at).write)
            ++at;
    }
    m_requests.insert(at, request);
    sendNext();
    return result;
}

void ModbusLink::sendNext()
{
    if (m_state == QModbusDevice::ConnectedState && !m_requests.isEmpty() && !onWire() && m_owed == 0)
        transmit();
}

void ModbusLink::transmit()
{
    if (m_requests.first().writing) {
        // The caller learns first (it notes the command before it can reach the controller).
        const quint16 transaction = m_requests.first().transaction;
        std::exchange(m_requests.first().writing, {})();
        if (m_state != QModbusDevice::ConnectedState || m_requests.isEmpty()
            || m_requests.first().transaction != transaction || m_requests.first().sent > 0)
            return; // settled or sent meanwhile
    }
    // Sent again as it stands on each try. Each try waits the time-out for the whole
    // answer: one that never completes (a controller reset mid-frame) does not hold the
    // request, and those behind it.
    Request &request = m_requests.first();
    if (request.sent++ == 0)
        request.firstSent.start();
    const qint64 written = m_socket.write(request.frame);
    if (written != request.frame.size()) {
        finish(QStringLiteral("unable to send"), QModbusDataUnit(), written > 0); // a part: out of step
        return;
    }
    m_tryTimer.start(m_timeout);
}

void ModbusLink::onTryTimeout()
{
    if (!onWire())
        return;
    Request &request = m_requests.first();
    if (request.triesLeft > 0) {
        --request.triesLeft;
        transmit();
        return;
    }
    // No answer to a read: the controller counts as lost. Part of an answer: the stream is
    // out of step.
    finish(QStringLiteral("Response timeout"), QModbusDataUnit(), !request.write || !m_received.isEmpty());
}

void ModbusLink::finish(const QString &error, const QModbusDataUnit &answer, bool drop)
{
    const Request request = m_requests.takeFirst();
    m_tryTimer.stop();
    if (error.isEmpty()) {
        if (request.sent > 1) {
            // The copies still at the controller are answered before the next request, each
            // within the time the request took: one late by its delay answers them a try
            // apart, one that serves a request at a time as far apart as it takes for one.
            m_owed += request.sent - 1;
            m_owedTimer.setInterval(int(request.firstSent.elapsed())); // at most the request's whole time
            m_owedTimer.start();
        }
        request.result.resolve(answer);
    } else {
        m_log.error(request.write ? "Write failed : " : "Read failed : ", error);
        if (drop)
            disconnectDevice();
        request.write ? request.result.reject(QModbusDataUnit()) : request.result.resolve(QModbusDataUnit());
    }
    sendNext();
}

void ModbusLink::dropAnswer(const QByteArray &frame)
{
    // Another copy's answer, or a duplicate: it answers nothing and counts for nothing.
    ++m_dropped;
    if (!m_droppedLogged.isValid() || m_droppedLogged.hasExpired(DroppedLogIntervalMs)) {
        m_log.warn("Answer to no request : ", answerText(frame), " (", m_dropped, " dropped since the last line)");
        m_dropped = 0;
        m_droppedLogged.start();
    }
    if (m_owed == 0)
        return;
    if (--m_owed > 0) {
        m_owedTimer.start(); // the next one as long again
        return;
    }
    m_owedTimer.stop();
    sendNext();
}

void ModbusLink::onReadyRead()
{
    m_received += m_socket.readAll();
    while (m_received.size() >= HeaderSize) {
        const int length = wordAt(m_received, 4);
        if (length < 2 || length > MostLength) {
            // No Modbus answer: what follows cannot be framed any more.
            const QString text = QStringLiteral("Answer out of step : ") + answerText(m_received);
            m_received.clear();
            if (onWire()) {
                finish(text, QModbusDataUnit(), true);
            } else {
                m_log.error(text);
                disconnectDevice();
            }
            return;
        }
        if (m_received.size() < 6 + length)
            return; // the rest is on its way (the request's time-out runs on)
        const QByteArray frame = m_received.left(6 + length);
        m_received.remove(0, 6 + length);
        if (!onWire() || m_requests.first().transaction != wordAt(frame, 0)) {
            dropAnswer(frame);
            continue;
        }
        QModbusDataUnit answer = m_requests.first().asked;
        const QString error = readAnswer(frame, m_requests.first().frame, answer);
        finish(error, answer);
    }
}

QString ModbusLink::readAnswer(const QByteArray &frame, const QByteArray &request, QModbusDataUnit &answer)
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

} // namespace manager
