#pragma once
// The magnetic vehicle loop on one input pin of the board.
#include <QDateTime>
#include <QObject>

namespace manager {

class MIOBoard;

class Loop : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isOccupied READ isOccupied NOTIFY isOccupiedChanged)
    Q_PROPERTY(QDateTime lastChange READ lastChange NOTIFY isOccupiedChanged)

public:
    Loop(MIOBoard &board, int pin, QObject *parent = nullptr);

    bool isOccupied() const { return m_isOccupied; }
    const QDateTime &lastChange() const { return m_lastChange; }

signals:
    void isOccupiedChanged();
    void vehiclePresent();
    void vehicleLeft();

private:
    void init();
    void onGpioStateChanged(int pin, int state);

    MIOBoard *m_board;
    int m_pin;
    bool m_isOccupied = false;
    QDateTime m_lastChange;
};

} // namespace manager
