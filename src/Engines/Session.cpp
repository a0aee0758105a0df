#include "Session.h"

#include "Cameras/CameraRoles.h"

#include "Common/Property.h"

#include <QMetaEnum>

Session::Session(QObject *parent) : QObject(parent)
{
    static const int registered = qRegisterMetaType<Session::State>("Session::State");
    Q_UNUSED(registered)
}

QString Session::stateToStr(State state)
{
    static const QMap<int, QString> names = [] {
        QMap<int, QString> map;
        const QMetaEnum meta = QMetaEnum::fromType<State>();
        for (int i = 0; i < meta.keyCount(); ++i)
            map.insert(meta.value(i), QString::fromLatin1(meta.key(i)));
        return map;
    }();
    return names.value(int(state), QStringLiteral("Unknown"));
}

VORReading::Ptr Session::alprReading(const QString &name) const
{
    if (!name.isEmpty())
        return m_readings.value(name);
    const VORReading::Ptr front = m_readings.value(CameraRoles::FrontPlate.name);
    return front ? front : m_readings.value(CameraRoles::BackPlate.name);
}

VORReading::Ptr Session::ccrReading(const QString &name) const
{
    if (!name.isEmpty())
        return m_readings.value(name);
    const VORReading::Ptr first = m_readings.value(CameraRoles::Container1.name);
    if (first && !first->containerCode().isEmpty() && first->containerCode() != QLatin1String("NONE"))
        return first;
    return m_readings.value(CameraRoles::Container2.name);
}

QList<VORReading::Ptr> Session::ccrReadings() const
{
    QList<VORReading::Ptr> list;
    for (auto it = m_readings.cbegin(); it != m_readings.cend(); ++it) {
        if (CameraRoles::isContainer(it.key()))
            list.append(it.value());
    }
    return list;
}

void Session::setState(State state)
{
    if (state == m_state)
        return;
    const State prev = m_state;
    m_state = state;
    emit stateChanged(prev, state);
}

void Session::setResult(bool value) { updateProperty(this, m_result, value, &Session::resultChanged); }
void Session::setError(const QString &value) { updateProperty(this, m_error, value, &Session::errorChanged); }
void Session::setStart(const QDateTime &value) { updateProperty(this, m_start, value, &Session::startChanged); }
void Session::setEnd(const QDateTime &value) { updateProperty(this, m_end, value, &Session::endChanged); }
void Session::setUuid(const QString &value) { updateProperty(this, m_uuid, value, &Session::uuidChanged); }
void Session::setType(const QString &value) { updateProperty(this, m_type, value, &Session::typeChanged); }
void Session::setDeviceId(const QString &value)
{
    updateProperty(this, m_deviceId, value, &Session::deviceIdChanged);
}
void Session::setCustomsId(const QString &value)
{
    updateProperty(this, m_customsId, value, &Session::customsIdChanged);
}
void Session::setLocationId(const QString &value)
{
    updateProperty(this, m_locationId, value, &Session::locationIdChanged);
}
void Session::setReadings(const Readings &value)
{
    updateProperty(this, m_readings, value, &Session::readingsChanged);
}
void Session::setCardId(const QString &value) { updateProperty(this, m_cardId, value, &Session::cardIdChanged); }
void Session::setCardReturned(bool value)
{
    updateProperty(this, m_cardReturned, value, &Session::cardReturnedChanged);
}
void Session::setButtonPressed(bool value)
{
    updateProperty(this, m_buttonPressed, value, &Session::buttonPressedChanged);
}
