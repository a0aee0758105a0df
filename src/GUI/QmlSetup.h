#pragma once
// What a QML engine needs before it loads the touch interface.
class QQmlEngine;

namespace QmlSetup {
// Registers the compiled-in interface, font, translation and keyboard resources, and appends the
// compiled-in keyboard module to the engine's import path, after the platform's own paths,
// so that an installed "QtQuick.FreeVirtualKeyboard" is preferred; and serves the compiled-in
// icons as "image://icons/<name>-<size>".
void prepare(QQmlEngine &engine);
}
