#include "ui/ScreenPlacement.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>

namespace {
// How much of the window's top edge must show for the user to grab and move it.
constexpr int kGrabWidth = 100;
constexpr int kGrabHeight = 24;

// The nearest position of an extent of length size that starts at start within [low, low + room):
// a window larger than the room starts at low, so its top-left corner stays in sight.
int Clamp(int start, int size, int low, int room)
{
    if (size >= room)
        return low;
    return std::clamp(start, low, low + room - size);
}
} // namespace

QPoint VisiblePlace(const QRect& window, const QList<QRect>& screens)
{
    if (screens.isEmpty())
        return window.topLeft();
    const QRect topEdge(window.left(), window.top(), window.width(), kGrabHeight);
    const int needWidth = std::min(kGrabWidth, std::max(1, window.width()));
    for (const QRect& screen : screens) {
        const QRect seen = screen.intersected(topEdge);
        // The top edge itself must be on the screen: a window hanging from above cannot be dragged back.
        if (seen.width() >= needWidth && seen.top() == window.top() &&
            seen.height() >= std::min(kGrabHeight, screen.height()))
            return window.topLeft();
    }
    const QRect& primary = screens.front();
    return QPoint(Clamp(window.left(), window.width(), primary.left(), primary.width()),
                  Clamp(window.top(), window.height(), primary.top(), primary.height()));
}

QPoint VisiblePlaceOnAttachedScreens(const QRect& window)
{
    QList<QRect> areas;
    if (const QScreen* primary = QGuiApplication::primaryScreen())
        areas << primary->availableGeometry();
    for (const QScreen* screen : QGuiApplication::screens()) {
        if (screen != QGuiApplication::primaryScreen())
            areas << screen->availableGeometry();
    }
    return VisiblePlace(window, areas);
}
