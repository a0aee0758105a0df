#pragma once
// A plate or container recognition camera and the outcome of one trigger.
#include <QMetaType>
#include <QObject>
#include <QSharedPointer>
#include <QString>

class VORReading;

class VORCamera : public QObject
{
    Q_OBJECT
public:
    // The outcome of this camera in one trigger pass.
    struct Result
    {
        QString message;                    // empty when the camera delivered a reading, else the error
        QSharedPointer<VORReading> reading; // null on failure
    };

    using QObject::QObject;

    // The camera's role: "alpr1", "alpr2", "ccr1" or "ccr2".
    const QString &type() const { return m_type; }

protected:
    QString m_type;
};

Q_DECLARE_METATYPE(VORCamera::Result)
