#pragma once
// The lane's camera roles, one row each: the role's name (the key of its camera and of
// its readings), the setting that holds its camera's address, the kind of camera it
// takes, and the title the screens give it. What each feeds:
// - the front plate is the passage's plate and the entry lane's service-bus record;
// - the back plate is the exit lane's record, and the passage's plate without a front one;
// - the container cameras give the exit record its container code (the first camera's
//   real code preferred) and its two side camera ids.
#include "Common/ConfigKeys.h"

#include <QLatin1String>
#include <QString>

namespace CameraRoles {

enum class Kind { Plate, Container };

struct Role
{
    QLatin1String name;
    QLatin1String key;
    Kind kind;
    QLatin1String title;
};

constexpr Role FrontPlate{"alpr1"_l1, Key::CameraAlpr1, Kind::Plate, "ALPR Front"_l1};
constexpr Role BackPlate{"alpr2"_l1, Key::CameraAlpr2, Kind::Plate, "ALPR Back"_l1};
constexpr Role Container1{"ccr1"_l1, Key::CameraCcr1, Kind::Container, "ccr1"_l1};
constexpr Role Container2{"ccr2"_l1, Key::CameraCcr2, Kind::Container, "ccr2"_l1};

// In the order the cameras are built.
constexpr Role All[] = {FrontPlate, BackPlate, Container1, Container2};

// The role of that name; null for a name that is none.
const Role *find(const QString &name);
bool isPlate(const QString &name);
bool isContainer(const QString &name);
// The screens' title of the role; an unknown name is its own title.
QString title(const QString &name);

} // namespace CameraRoles
