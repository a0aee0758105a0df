#pragma once
// Client of the lane's boom barrier controller over Modbus TCP: polls its status and
// loop words once a second, turns them into a state with a reason, an open flag and a
// priority flag, and writes the open and close commands.
#include "Deferred/Deferred.h"
#include "Managers/ModbusLink.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QModbusDataUnit>
#include <QModbusDevice>
#include <QObject>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

class Config;

namespace manager {

class Barrier : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Barrier)
    Q_PROPERTY(QString manufacturer READ manufacturer NOTIFY manufacturerChanged)
    Q_PROPERTY(QString model READ model NOTIFY modelChanged)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString stateString READ stateString NOTIFY stateChanged)
    Q_PROPERTY(QString reason READ reason NOTIFY stateChanged)
    Q_PROPERTY(bool isOpen READ isOpen NOTIFY isOpenChanged)
    Q_PROPERTY(bool loopA READ loopA NOTIFY loopAChanged)
    Q_PROPERTY(bool loopB READ loopB NOTIFY loopBChanged)
    Q_PROPERTY(QDateTime lastChange READ lastChange NOTIFY isOpenChanged)

public:
    enum State : int { Init = 0, Busy = 1, Ready = 2, Error = 3 };
    Q_ENUM(State)

    // Register addresses of the controller.
    static constexpr int CommandRegister = 0;
    static constexpr int StatusRegister = 1;
    static constexpr int StatusBlockSize = 6;
    // Command words.
    static constexpr quint16 CommandOpen = 1;
    static constexpr quint16 CommandClose = 2;
    static constexpr quint16 CommandPriorityOpen = 4;

    static constexpr int PollIntervalMs = 1000;
    static constexpr int ReconnectIntervalMs = 5000;
    // After an open command, how long a "closed" word is taken as read before the
    // controller acted, unless the boom was seen moving or open first.
    static constexpr int OpenGraceMs = 5000;
    // Status reads failed in a row (an exception answer, an answer to another request) that
    // count as lost contact. An answer to no request counts for nothing.
    static constexpr int FailedReadsLost = 3;

    explicit Barrier(Config &config, QObject *parent = nullptr);
    ~Barrier() override;

    QString manufacturer() const { return QStringLiteral("Magnetic"); }
    QString model() const { return QStringLiteral("MGC(MicroDrive)"); }
    State state() const { return m_state; }
    QString stateString() const;
    const QString &reason() const { return m_reason; }
    bool isOpen() const { return m_isOpen; }
    bool isPriority() const { return m_isPriority; }
    // The controller's status word as last read on this connection; 0 before its first read.
    quint32 status() const { return m_wordsKnown ? m_status : 0; }
    bool loopA() const { return m_loopA & 0x0001; }
    bool loopB() const { return m_loopB & 0x0001; }
    const QDateTime &lastChange() const { return m_lastChange; }
    bool active() const { return m_state == Busy || m_state == Ready; }
    // Whether a command would be written to the controller now (the connection is up).
    bool connected() const { return m_link.state() == QModbusDevice::ConnectedState; }

    static QString stateToStr(int state);
    static quint32 readWords(const QModbusDataUnit &unit, int start, int count);
    static QUrl parseUrl(const QString &text);

    // `writing` is called just before the command's first byte goes out to the controller,
    // never for a command that fails before it does.
    Deferred<> open(bool priority = false, const std::function<void()> &writing = {});
    Deferred<> close();
    Deferred<QModbusDataUnit> sendWriteRequest(const QModbusDataUnit &unit, const std::function<void()> &writing = {});
    Deferred<QModbusDataUnit> sendReadRequest(const QModbusDataUnit &unit);

public slots:
    void readStatus();

signals:
    void manufacturerChanged();
    void modelChanged();
    void stateChanged();
    void isOpenChanged();
    void isPriorityChanged();
    void loopAChanged();
    void loopBChanged();
    void barrierOpened();
    void barrierClosed();
    // The controller's words were read and taken in (each poll while connected).
    void statusRead();

protected:
    // Takes in the controller's answer to the status read (status, loop A and B words);
    // false when it holds no words.
    bool applyStatus(const QModbusDataUnit &answer);

private:
    // What one part of the lane (the status word, a loop word) says of the state.
    struct Verdict {
        bool set = false;
        State state = Ready;
        QString reason;
    };

    void initTimers();
    void initClient();
    void onConfigChanged(const QVariantMap &changes);
    void onClientStateChanged(QModbusDevice::State state);
    void forgetWords();

    void setState(State state, const QString &reason);
    void setIsOpen(bool value);
    // An open command the controller took: the boom counts as open from here on.
    void openTaken();
    void setIsPriority(bool value);
    void setStatus(quint32 word);
    void setLoopA(quint16 word);
    void setLoopB(quint16 word);
    void setLoop(char name, quint16 word, quint16 &stored, Verdict &verdict, void (Barrier::*changed)());
    void applyVerdicts();

    Config &m_config;
    State m_state = Init;
    QString m_reason;
    bool m_isOpen = false;
    bool m_isPriority = false;
    quint32 m_status = 0;
    quint16 m_loopA = 0;
    quint16 m_loopB = 0;
    // False after a (re)connection until the words were read: the first read is
    // decoded in full even when it equals what was read before the connection went.
    bool m_wordsKnown = false;
    // Status reads failed since the last one answered (or the connection was made).
    int m_failedReads = 0;
    // What the status word and each loop word last said of the state; the state is
    // derived from the three together, so that a cleared fault of one is not kept.
    Verdict m_statusVerdict;
    Verdict m_loopAVerdict;
    Verdict m_loopBVerdict;
    QDateTime m_lastChange;
    // Runs from a successful open command until a closed word counts again; the boom seen
    // moving or open meanwhile lets the next closed word count before the grace is over.
    QElapsedTimer m_openSent;
    bool m_boomSeen = false;
    // An open command failed (its answer may have been lost with the connection): the boom
    // seen moving or open afterwards shows that the controller acted on it.
    bool m_openFailed = false;
    // The Modbus TCP connection to the controller.
    ModbusLink m_link;
    QTimer m_pollTimer;
    QTimer m_reconnectTimer;
};

} // namespace manager
