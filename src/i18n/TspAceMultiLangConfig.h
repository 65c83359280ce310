#pragma once

#include <QObject>
#include <QStringList>

// The translators' shared configuration. Only AutoApply changes anything: a translator with it
// applies its language as soon as its window is loaded. The other options exist so that windows
// and language tools can address them by name; they have no effect.
class TspAceMultiLangConfig : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool AutoApply MEMBER AutoApply)
    Q_PROPERTY(bool ExcludeEmptyProp MEMBER ExcludeEmptyProp)
    Q_PROPERTY(QStringList ExcludeProps MEMBER ExcludeProps)
    Q_PROPERTY(bool ExcludeNumberEndProps MEMBER ExcludeNumberEndProps)
    Q_PROPERTY(bool ExcludeWithAction MEMBER ExcludeWithAction)
public:
    explicit TspAceMultiLangConfig(QObject* parent = nullptr) : QObject(parent) {}

    bool AutoApply = true;
    bool ExcludeEmptyProp = false;
    QStringList ExcludeProps;
    bool ExcludeNumberEndProps = false;
    bool ExcludeWithAction = false;
};
