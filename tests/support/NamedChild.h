#pragma once

#include <QObject>
#include <QString>
#include <QWidget>

#include <gtest/gtest.h>

#include <type_traits>

namespace testsupport {

// The one component of window named name with type T, found as the language files find it: by object
// name. A name that matches nothing (a typo, a renamed component, the wrong type) or matches twice fails
// the test here, naming what was asked for, so no check can pass on the wrong component. The test then
// goes on with a stand-in of that type owned by window, instead of crashing on a null pointer; each
// further look-up of the same name fails again.
template <typename T> T* child(QWidget& window, const char* name)
{
    static_assert(std::is_base_of_v<QObject, T>, "components are found by their object names");
    const QString objectName = QString::fromLatin1(name);
    constexpr const char* kStandIn = "testsupport.standIn";
    T* standIn = nullptr;
    QList<T*> found;
    for (T* candidate : window.findChildren<T*>(objectName)) {
        if (candidate->property(kStandIn).toBool())
            standIn = candidate;
        else
            found << candidate;
    }
    if (found.size() == 1)
        return found.front();
    ADD_FAILURE() << window.objectName().toStdString() << " has " << found.size() << " "
                  << T::staticMetaObject.className() << " named \"" << name << "\", not one";
    if (!standIn) {
        standIn = new T(&window);
        standIn->setObjectName(objectName);
        standIn->setProperty(kStandIn, true);
    }
    return standIn;
}

} // namespace testsupport
