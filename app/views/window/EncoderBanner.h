#pragma once
// EncoderBanner: the warning at the top of the main window while external encoders are missing,
// naming them and how to install them on this system.

#include <QStringList>
#include <QWidget>

class QLabel;

namespace dorvex::app {

// "找不到压缩器：cjpeg、pngquant。请先 … 再 …。"
QString missingEncodersText(const QStringList& missing);
// How the encoders are installed here: the distribution's packages, and mozjpeg's cjpeg built by
// the project's set-up script.
QString encoderInstallHint();

class EncoderBanner : public QWidget {
    Q_OBJECT

public:
    explicit EncoderBanner(QWidget* parent = nullptr);

    // Shown only while `missing` is not empty.
    void setMissing(const QStringList& missing);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* text_;
};

}  // namespace dorvex::app
