#include "DeviceClient.h"

namespace manager {

void DeviceClient::onInfo(const QJsonObject &info)
{
    const QJsonObject device = info.value(QStringLiteral("device")).toObject();
    const QJsonObject service = info.value(QStringLiteral("service")).toObject();
    set(m_firmware, device.value(QStringLiteral("firmware")).toString(), &DeviceClient::firmwareChanged);
    set(m_manufacturer, device.value(QStringLiteral("manufacturer")).toString(), &DeviceClient::manufacturerChanged);
    set(m_model, device.value(QStringLiteral("model")).toString(), &DeviceClient::modelChanged);
    set(m_software, service.value(QStringLiteral("version")).toString(), &DeviceClient::softwareChanged);
}

} // namespace manager
