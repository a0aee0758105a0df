#pragma once
// What the card back office sees of the lane: the terminal's identity, its type and
// card level, and the health of its devices, as the heartbeat reports them. The
// terminal implements it; the back office never reaches the lane's objects itself.
#include <QList>
#include <QString>

class IPv4;

namespace Backend {

class LaneView
{
public:
    // One camera of the lane: its role ("alpr1", "ccr2", ...) and its status text ("ON").
    struct Camera
    {
        QString role;
        QString status;
    };

    virtual ~LaneView() = default;

    virtual QString serialNum() const = 0;
    virtual QString customsId() const = 0;
    virtual QString locationId() const = 0;
    // "CARD_VENDING_MACHINE", "CARD_COLLECTION_MACHINE" or empty.
    virtual QString type() const = 0;
    // "EMPTY", "LOW", "OK", "ALMOST_FULL" or "FULL".
    virtual QString cardLevel() const = 0;
    // Seconds since the system started.
    virtual int uptime() const = 0;

    virtual bool rfidActive() const = 0;
    virtual QString rfidError() const = 0;
    virtual bool dispenserActive() const = 0;
    virtual bool barrierActive() const = 0;
    virtual QString barrierReason() const = 0;
    virtual bool clockSynced() const = 0;
    // In the camera manager's order.
    virtual QList<Camera> cameraStatus() const = 0;
    // The wired interface's live settings; null when unknown.
    virtual IPv4 *ipv4() const = 0;

    // The installed software version, and the request to install another one.
    virtual QString softwareVersion() const = 0;
    virtual void installSoftware(const QString &version, const QString &url, const QString &md5) = 0;
};

} // namespace Backend
