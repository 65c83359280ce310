#pragma once

#include <QList>
#include <QPoint>
#include <QRect>

/// Where a window of the given place and size can be put so that the user can reach it: the place
/// itself while enough of its top edge (where the frame's title bar is grabbed) lies on one of the
/// screens' areas, else the nearest place inside the first of them (the primary screen). A place
/// stored while another monitor was attached would otherwise open the window where nobody sees it.
/// With no screens the place is kept.
QPoint VisiblePlace(const QRect& window, const QList<QRect>& screens);

/// VisiblePlace over the available areas of the screens attached now, the primary screen first.
QPoint VisiblePlaceOnAttachedScreens(const QRect& window);
