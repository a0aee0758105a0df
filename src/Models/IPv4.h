#pragma once
// The IPv4 settings of one network interface, all as text, as notifying properties so
// that the screens can show and edit them. Values live in one map under the keys
// "address", "netmask", "gateway", "dns0" and "dns1"; nothing is validated here.
#include <QObject>
#include <QString>
#include <QVariantMap>

class IPv4 : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(IPv4)
    Q_PROPERTY(QString address READ address WRITE setAddress NOTIFY addressChanged)
    Q_PROPERTY(QString gateway READ gateway WRITE setGateway NOTIFY gatewayChanged)
    Q_PROPERTY(QString mask READ mask WRITE setMask NOTIFY maskChanged)
    Q_PROPERTY(QString dns0 READ dns0 WRITE setDns0 NOTIFY dns0Changed)
    Q_PROPERTY(QString dns1 READ dns1 WRITE setDns1 NOTIFY dns1Changed)

public:
    explicit IPv4(QObject *parent = nullptr);

    QString address() const;
    QString mask() const;
    QString gateway() const;
    QString dns0() const;
    QString dns1() const;

    void setAddress(const QString &value);
    void setMask(const QString &value);
    void setGateway(const QString &value);
    void setDns0(const QString &value);
    void setDns1(const QString &value);

    // The map as stored: only keys a setter wrote or compared (a key that was absent
    // and set to the empty text stays present with a null value).
    const QVariantMap &toMap() const { return m_map; }
    // Sets the five fields in property order from the map's keys (absent: empty text).
    IPv4 &fromMap(const QVariantMap &map);

    // Whether the text is an IPv4 address in its one plain form: four decimal numbers of
    // 0 to 255 joined by dots, without sign, leading zero or white space ("10.0.0.7").
    static bool isDottedQuad(const QString &text);

signals:
    void addressChanged();
    void maskChanged();
    void gatewayChanged();
    void dns0Changed();
    void dns1Changed();

private:
    void setField(const QString &key, const QString &value, void (IPv4::*signal)());

    QVariantMap m_map;
};
