// The desktop around the application: revealing a file in the file manager,
// opening a web page or document, raising a window above other
// applications. Tests install a recorder in place of the real desktop.
// Main thread.
#pragma once

#include <QString>
#include <QUrl>

class QWidget;

class Workspace {
public:
    virtual ~Workspace() = default;
    // The one in use; the real desktop unless a test set another.
    static Workspace& shared();
    // Installs a workspace (not owned); null restores the real desktop.
    static void setShared(Workspace* workspace);

    // Shows the file selected in the file manager (freedesktop FileManager1
    // over D-Bus), or opens its folder where no file manager answers.
    virtual void revealInFileManager(const QString& path);
    virtual bool openUrl(const QUrl& url);
    virtual void raiseAboveOtherApps(QWidget* window);
    // A desktop notification (freedesktop Notifications over D-Bus), for
    // when there is no tray icon to show one from.
    virtual void notify(const QString& title, const QString& message);
    // A finished recording's notification offering to open it or show it in
    // the file manager, where the notification server takes actions
    // (NotificationActions); nothing elsewhere.
    virtual void offerRecording(const QString& title, const QString& message, const QString& path);
};
