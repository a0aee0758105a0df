#pragma once
// Every setting of the system with its default, by key ("group/name"): the table the
// one configuration store is built on.
#include <QVariantMap>

extern const QVariantMap ConfigDefaults;
