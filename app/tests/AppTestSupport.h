#pragma once
// Helpers of the app's tests: a home, data and config folder of their own (set before Qt and GIO
// start, beside the test program, on a file system with a trash), and small media made on the spot.

#include <QGuiApplication>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <filesystem>

namespace dorvex::app::testing {

namespace fs = std::filesystem;

class TestHome {
public:
    TestHome() : root_(executableFolder() + "/app-test-XXXXXX") {
        const QString home = root_.path() + "/home";
        QDir().mkpath(home + "/.local/share");
        QDir().mkpath(home + "/.config");
        ::setenv("HOME", home.toLocal8Bit().constData(), 1);
        ::setenv("XDG_DATA_HOME", (home + "/.local/share").toLocal8Bit().constData(), 1);
        ::setenv("XDG_CONFIG_HOME", (home + "/.config").toLocal8Bit().constData(), 1);
    }
    fs::path path() const { return root_.path().toStdString(); }

private:
    static QString executableFolder() { return QString::fromStdString(fs::read_symlink("/proc/self/exe").parent_path()); }
    QTemporaryDir root_;
};

// A PNG of few colours stored without compression, so that every encoder makes it smaller.
inline fs::path writePng(const fs::path& file, int side = 96) {
    fs::create_directories(file.parent_path());
    QImage image(side, side, QImage::Format_RGB32);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            image.setPixel(x, y, qRgb(x / 8 % 16 * 16, y / 8 % 16 * 16, 128));
    image.save(QString::fromStdString(file.string()), "PNG", 100);
    return file;
}

}  // namespace dorvex::app::testing

// main() for a QTest class: the test home first, then the (offscreen) application.
#define DORVEX_APP_TEST_MAIN(TestClass)                  \
    int main(int argc, char** argv) {                    \
        dorvex::app::testing::TestHome home;             \
        QGuiApplication application(argc, argv);         \
        TestClass test;                                  \
        return QTest::qExec(&test, argc, argv);          \
    }
