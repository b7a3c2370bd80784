#pragma once
// TrayDropZone: the tray panel's drop target — "拖到这里压缩" in a rounded frame of the accent
// colour that brightens while a drag of files hovers ("正在查找文件… N" while dropped folders are
// walked). It takes local files and folders only and hands them on; anything else is refused.

#include <QList>
#include <QUrl>
#include <QWidget>

#include <optional>

namespace dorvex::app {

class TrayDropZone : public QWidget {
    Q_OBJECT

public:
    explicit TrayDropZone(QWidget* parent = nullptr);

    bool isTargeted() const { return targeted_; }
    // The files listed so far while dropped folders are walked; none once the walk is over.
    void setCollected(std::optional<int> found);
    QString text() const;

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
    std::optional<int> collected_;
};

}  // namespace dorvex::app
