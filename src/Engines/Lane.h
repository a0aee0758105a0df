#pragma once
// What the lane engines see of the lane: its identity and type, the devices and cameras
// a passage uses, the back-office clients it reports to and the configuration. The
// terminal implements it; the engines never reach the terminal itself.
#include "Backend/Transaction.h"

#include <QList>
#include <QString>

class Config;
class Session;

namespace manager {
class Barrier;
class Button;
class CameraManager;
class CardIssuer;
class Dispenser;
class Loop;
}

namespace Backend {
class CardBO;
class ESB;
}

// A passage left open when its engine stopped (or when the program last ended): its report
// as last held, still held, to be completed by whoever finishes the passage.
struct InterruptedPassage
{
    Backend::Transaction::Ptr report;
    // Left open while the program ran on: the lane has watched its loop since, so a vehicle
    // leaving was noted. One the program's last run left has no such record of its gap.
    bool watched = false;
};

class Lane
{
public:
    virtual ~Lane() = default;

    // "CARD_VENDING_MACHINE", "CARD_COLLECTION_MACHINE" or empty.
    virtual QString type() const = 0;
    virtual QString serialNum() const = 0;
    virtual QString customsId() const = 0;
    virtual QString locationId() const = 0;

    virtual Config &config() const = 0;
    virtual Session *session() const = 0;

    virtual manager::Barrier *barrier() = 0;
    virtual manager::Button *button() = 0;
    virtual manager::CameraManager *cameras() = 0;
    virtual manager::CardIssuer *cardIssuer() = 0;
    virtual manager::Dispenser *dispenser() = 0;
    virtual manager::Loop *loop() = 0;

    // Null while the lane has none.
    virtual Backend::CardBO *cardBO() const = 0;
    virtual Backend::ESB *esb() const = 0;

    // The passages left open for the next engine that runs the lane.
    virtual QList<InterruptedPassage> &interruptedPassages() = 0;
};
