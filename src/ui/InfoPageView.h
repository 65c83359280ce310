#pragma once

#include <QWebEngineView>

// The small embedded info page of the main window: a plain page by address, without context
// menu, scroll bars, text selection or dropped files, playing media without asking, its WebRTC kept
// from naming local addresses.
class InfoPageView : public QWebEngineView
{
    Q_OBJECT

public:
    explicit InfoPageView(QWidget* parent = nullptr);

    // Opens an http or file:/// address; an empty or unusable address is ignored.
    void OpenUrl(const QString& url);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
};
