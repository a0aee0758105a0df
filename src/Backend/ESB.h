#pragma once
// Client of the customs authority's enterprise service bus.
#include <QMetaType>
#include <QObject>
#include <QString>

namespace Backend {

class ESB : public QObject
{
public:
    // The service bus's answer to an exit request.
    struct PermissionResp
    {
        QString code; // "OPEN" grants the exit
        QString descr;
        bool cardReturn = false;
    };
};

} // namespace Backend

Q_DECLARE_METATYPE(Backend::ESB::PermissionResp)
