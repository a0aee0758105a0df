#include "Cameras/CameraRoles.h"

namespace CameraRoles {

const Role *find(const QString &name)
{
    for (const Role &role : All)
        if (name == role.name)
            return &role;
    return nullptr;
}

bool isPlate(const QString &name)
{
    const Role *role = find(name);
    return role && role->kind == Kind::Plate;
}

bool isContainer(const QString &name)
{
    const Role *role = find(name);
    return role && role->kind == Kind::Container;
}

QString title(const QString &name)
{
    const Role *role = find(name);
    return role ? QString(role->title) : name;
}

} // namespace CameraRoles
