#include "IPv4.h"

#include <QStringList>

namespace {
const QString AddressKey = QStringLiteral("address");
const QString NetmaskKey = QStringLiteral("netmask");
const QString GatewayKey = QStringLiteral("gateway");
const QString Dns0Key = QStringLiteral("dns0");
const QString Dns1Key = QStringLiteral("dns1");
}

IPv4::IPv4(QObject *parent)
    : QObject(parent)
{
}

QString IPv4::address() const { return m_map.value(AddressKey).toString(); }
QString IPv4::mask() const { return m_map.value(NetmaskKey).toString(); }
QString IPv4::gateway() const { return m_map.value(GatewayKey).toString(); }
QString IPv4::dns0() const { return m_map.value(Dns0Key).toString(); }
QString IPv4::dns1() const { return m_map.value(Dns1Key).toString(); }

void IPv4::setAddress(const QString &value) { setField(AddressKey, value, &IPv4::addressChanged); }
void IPv4::setMask(const QString &value) { setField(NetmaskKey, value, &IPv4::maskChanged); }
void IPv4::setGateway(const QString &value) { setField(GatewayKey, value, &IPv4::gatewayChanged); }
void IPv4::setDns0(const QString &value) { setField(Dns0Key, value, &IPv4::dns0Changed); }
void IPv4::setDns1(const QString &value) { setField(Dns1Key, value, &IPv4::dns1Changed); }

IPv4 &IPv4::fromMap(const QVariantMap &map)
{
    setAddress(map.value(AddressKey).toString());
    setMask(map.value(NetmaskKey).toString());
    setGateway(map.value(GatewayKey).toString());
    setDns0(map.value(Dns0Key).toString());
    setDns1(map.value(Dns1Key).toString());
    return *this;
}

bool IPv4::isDottedQuad(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    for (const QString &part : parts) {
        if (part.isEmpty() || part.size() > 3 || (part.size() > 1 && part.front() == QLatin1Char('0')))
            return false;
        for (const QChar c : part)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        if (part.toInt() > 255)
            return false;
    }
    return true;
}

void IPv4::setField(const QString &key, const QString &value, void (IPv4::*signal)())
{
    QVariant &stored = m_map[key];
    if (stored.toString() == value)
        return;
    stored = value;
    emit(this->*signal)();
}
