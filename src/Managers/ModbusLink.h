#pragma once
// A Modbus TCP connection to one controller: frames the requests (Read Holding Registers,
// Write Single Register), gives each a transaction id, sends it again as it stands after
// each time-out while tries are left, and takes an answer for a request only when it
// carries the request's transaction id. Its lines go out through its owner's log.
//
// One request is on the wire at a time; the others wait their turn, a write ahead of the
// reads that have not gone out yet. An answer that comes after its request was sent again
// leaves copies at the controller: the next request waits for their answers while they may
// still come (until none has come for as long as the request took), so that a controller that
// serves one request at a time is not buried under copies, and one that drops what comes while
// it is busy is not waited on long for copies it never answers.
#include "Common/Log/Log.h"
#include "Deferred/Deferred.h"

#include <QElapsedTimer>
#include <QList>
#include <QModbusDataUnit>
#include <QModbusDevice>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

#include <functional>

namespace manager {

class ModbusLink : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ModbusLink)

public:
    // How often at most an answer to no request is logged; the line counts those dropped
    // since the last one.
    static constexpr int DroppedLogIntervalMs = 5000;

    explicit ModbusLink(const Log &log, QObject *parent = nullptr);
    ~ModbusLink() override;

    QModbusDevice::State state() const { return m_state; }

    // Where to connect and how long to wait for each try of a request. A connection to
    // another address is ended first and made again as soon as it is closed; otherwise a
    // connected or connecting link goes on as it is (new time-outs apply to the next tries).
    void configure(const QString &host, int port, int timeoutMs, int retries);
    void connectDevice();
    void disconnectDevice();

    // Reads unit's registers, or writes its first value to its first register, on the
    // controller's unit `unitId`. A failed read resolves with an invalid data unit, a failed
    // write rejects with one; each failure is logged. `writing` is called just before the
    // write's first byte goes out, and never for a write that fails before it does.
    Deferred<QModbusDataUnit> read(const QModbusDataUnit &unit, quint8 unitId);
    Deferred<QModbusDataUnit> write(const QModbusDataUnit &unit, quint8 unitId,
                                    const std::function<void()> &writing = {});

    // Reads the answer frame (header and PDU) to the request frame: the error, or empty and
    // `answer` (the unit asked) filled. Only an answer with the request's transaction id,
    // protocol id (0) and unit id, and its function code (or the exception form), answers it.
    static QString readAnswer(const QByteArray &frame, const QByteArray &request, QModbusDataUnit &answer);

signals:
    // The connection's state, once the requests it ended have failed.
    void stateChanged(QModbusDevice::State state);

private:
    struct Request
    {
        quint16 transaction = 0;
        bool write = false;
        QByteArray frame;
        QModbusDataUnit asked;
        int triesLeft = 0;
        int sent = 0; // copies written so far; 0 while it waits its turn
        QElapsedTimer firstSent;
        std::function<void()> writing;
        Deferred<QModbusDataUnit> result;
    };

    Deferred<QModbusDataUnit> send(const QModbusDataUnit &unit, quint8 unitId, bool write,
                                   const std::function<void()> &writing = {});
    void sendNext();
    void transmit();
    void onSocketStateChanged(QAbstractSocket::SocketState state);
    void onReadyRead();
    void onTryTimeout();
    void dropAnswer(const QByteArray &frame);
    // Settles the request on the wire; `drop` ends the connection too (no answer to a read,
    // a stream out of step).
    void finish(const QString &error, const QModbusDataUnit &answer = QModbusDataUnit(), bool drop = false);
    bool onWire() const { return !m_requests.isEmpty() && m_requests.first().sent > 0; }

    const Log m_log;
    QTcpSocket m_socket;
    QModbusDevice::State m_state = QModbusDevice::UnconnectedState;
    QString m_host;
    int m_port = -1;
    int m_timeout = 1000;
    int m_retries = 0;
    // A changed address waits for the old connection to end, then connects at once.
    bool m_connectWhenClosed = false;
    quint16 m_nextTransaction = 0;
    QByteArray m_received;
    QList<Request> m_requests; // the first one on the wire once sent
    QTimer m_tryTimer;
    // Copies of the answered request still to be answered; waited for until none has come for
    // as long as the request took.
    int m_owed = 0;
    QTimer m_owedTimer;
    int m_dropped = 0;
    QElapsedTimer m_droppedLogged;
};

} // namespace manager
