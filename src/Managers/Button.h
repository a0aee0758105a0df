#pragma once
// The driver's push-button on one input pin of the board.
#include "Deferred/Deferred.h"

#include <QDateTime>
#include <QObject>

namespace manager {

class MIOBoard;

class Button : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isEnabled READ isEnabled NOTIFY isEnabledChanged)
    Q_PROPERTY(bool isPressed READ isPressed NOTIFY isPressedChanged)
    Q_PROPERTY(QDateTime lastPress READ lastPress NOTIFY lastPressChanged)

public:
    static constexpr int DefaultWaitSec = 300;

    Button(MIOBoard &board, int pin, QObject *parent = nullptr);

    bool isEnabled() const { return m_isEnabled; }
    bool isPressed() const { return m_isPressed; }
    const QDateTime &lastPress() const { return m_lastPress; }

public slots:
    void enable();
    void disable();
    // Resolved by the next press, rejected when sec seconds pass first (never below 1).
    Deferred<> waitPress(int sec);
    Deferred<> waitPress() { return waitPress(DefaultWaitSec); }

signals:
    void isEnabledChanged();
    void isPressedChanged();
    void lastPressChanged();
    void pressed();
    void released();

private:
    void init();
    void onGpioStateChanged(int pin, int state);

    MIOBoard *m_board;
    int m_pin;
    bool m_isEnabled = true;
    bool m_isPressed = false;
    QDateTime m_lastPress;
};

} // namespace manager
