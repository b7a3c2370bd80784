#pragma once
// TrayDropZone: the tray panel's drop target — "拖到这里压缩" in a rounded frame of the accent
// colour that brightens while a drag of files hovers. It takes local files and folders only and
// hands them on; anything else is refused.

#include <QList>
#include <QUrl>
#include <QWidget>

namespace dorvex::app {

class TrayDropZone : public QWidget {
    Q_OBJECT

public:
    explicit TrayDropZone(QWidget* parent = nullptr);

    bool isTargeted() const { return targeted_; }

signals:
    // The local files and folders of a drop; never empty.
    void dropped(const QList<QUrl>& urls);

protected:
    void paintEvent(QPaintEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void setTargeted(bool targeted);

    bool targeted_ = false;
};

}  // namespace dorvex::app
