#pragma once

#include <QObject>
#include <QString>
#include <optional>

class QMenu;
class QSystemTrayIcon;

// The system-tray icon: a tip text, an icon drawn from a picture file of this
// user, and one event for mouse actions (2: click or double click, 4: context
// click).
class Tray : public QObject {
    Q_OBJECT
public:
    static constexpr int Restore = 2;
    static constexpr int ContextMenu = 4;

    explicit Tray(QObject* parent = nullptr);
    ~Tray() override;

    QString TipText;
    QString IconFile;

    void ShowIcon();
    void RemoveIcon();
    bool isShown() const;
    // Whether the desktop has a tray to show the icon in.
    static bool isAvailable();
    // Tests stand in for a desktop with or without a tray.
    static void overrideAvailability(std::optional<bool> available);

signals:
    void MouseAction(int code);

private:
    QSystemTrayIcon* icon_ = nullptr;
};
