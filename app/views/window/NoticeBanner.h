#pragma once
// NoticeBanner: failures the user must hear about, in a band below the toolbar until dismissed —
// outputs that did not reach the disk, a preset library that was not saved, folders that could
// not be read. Each notice is one paragraph; the same text is not shown twice.

#include <QStringList>
#include <QWidget>

class QLabel;

namespace dorvex::app {

class NoticeBanner : public QWidget {
    Q_OBJECT

public:
    explicit NoticeBanner(QWidget* parent = nullptr);

    // Adds `text` below what shows already and shows the banner; an empty text is ignored.
    void post(const QString& text);
    // Hides the banner and forgets its notices (its close button).
    void dismiss();
    const QStringList& notices() const { return notices_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QStringList notices_;
    QLabel* text_;
};

}  // namespace dorvex::app
