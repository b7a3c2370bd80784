// The compare window: what it shows for each kind of item, the information bar, double-click
// between fit and 100 %, the split following a drag, a real comparison of a compressed PNG, and
// the window following its item when it is compressed again.

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QSignalSpy>

#include "AppTestSupport.h"
#include "dorvex/platform/AppPaths.h"
#include "dorvex/text/Format.h"
#include "model/AppModel.h"
#include "model/CompressionItem.h"
#include "views/CompareSplitView.h"
#include "views/CompareWindow.h"

using namespace dorvex;
using namespace dorvex::app;
namespace fs = std::filesystem;

class ViewsCompareWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<ObservablePresetStore> presets;

    fs::path media() const { return AppPaths::homeFolder() / "compare"; }

private slots:
    void initTestCase() {
        settings = std::make_unique<SettingsStore>(AppPaths::settingsFolder());
        presets = std::make_unique<ObservablePresetStore>(AppPaths::presetsFile(), *settings);
    }

    void stateOfEachItem() {
        const fs::path source = testing::writePng(media() / "a.png");
        CompressionResult done;
        done.status = CompressionResult::Success{};
        done.output = media() / "a-min.png";
        struct Case {
            const char* name;
            std::optional<CompressionResult> result;
            fs::path source;
            CompareState expected;
        };
        CompressionResult noOutput = done;
        noOutput.output.reset();
        CompressionResult overwrite = done;
        overwrite.output = source;
        const Case cases[] = {
            {"not finished", std::nullopt, source, CompareState::nothingToCompare},
            {"no output", noOutput, source, CompareState::nothingToCompare},
            {"overwrote its source", overwrite, source, CompareState::sourceGone},
            {"source gone", done, media() / "gone.png", CompareState::sourceGone},
            {"comparable", done, source, CompareState::pane},
        };
        QCOMPARE(compareState(nullptr), CompareState::nothingToCompare);
        for (const Case& c : cases) {
            CompressionItem item(c.source, CompressionOptions{});
            if (c.result) item.setState(CompressionItem::Finished{*c.result});
            QVERIFY2(compareState(&item) == c.expected, c.name);
        }
    }

    void informationBar() {
        CompressionResult r;
        r.sourceBytes = 1000;
        r.outputBytes = 1100;
        r.sourcePixelSize = r.pixelSize = {400, 300};
        r.encodeCount = 7;
        r.maxSizeMet = false;
        r.stopReason = SearchStopReason::unreachable;
        QCOMPARE(compareInfo(r), QStringList({"尺寸 400×300", "增大 10%", "体积上限 ✗ 未达标", "尝试 7 次 · 压到最小仍超限"}));
        r.maxSizeMet = true;
        r.stopReason = SearchStopReason::converged;
        QCOMPARE(compareInfo(r).mid(2), QStringList({"体积上限 ✓ 达标", "尝试 7 次"}));
    }

    void emptyWithoutAComparedItem() {
        AppModel model(*presets, Toolchain{}, 2);
        CompareWindow window(model);
        QCOMPARE(window.size(), QSize(960, 720));
        QCOMPARE(window.windowTitle(), QStringLiteral("对比"));
        QCOMPARE(window.findChild<QLabel*>("compareEmptyTitle")->text(), QStringLiteral("没有可对比的图片"));
        QCOMPARE(window.findChild<QLabel*>("compareEmptyDescription")->text(), QStringLiteral("在主窗口双击一张已完成的图片"));
    }

    void doubleClickTwiceReturnsToFit() {
        CompareSplitView view;
        view.resize(400, 300);
        view.show();
        view.setImageSize({4000, 3000});
        const double fit = view.zoom();
        QVERIFY(fit < 0.11);
        QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, QPoint(200, 150));
        QCOMPARE(view.zoomToFit(), false);
        QCOMPARE(view.zoom(), 1.0 / view.devicePixelRatioOfScreen().value_or(2.0));
        QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, QPoint(200, 150));
        QVERIFY(view.zoomToFit());
        QCOMPARE(view.zoom(), fit);
    }

    void splitFollowsADrag() {
        CompareSplitView view;
        view.resize(400, 300);
        view.show();
        view.setImageSize({4000, 3000});
        QSignalSpy moved(&view, &CompareSplitView::splitChanged);
        QTest::mousePress(view.viewport(), Qt::LeftButton, {}, QPoint(100, 150));
        QTest::mouseMove(view.viewport(), QPoint(300, 100));
        QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, QPoint(300, 100));
        QCOMPARE(view.split(), 0.75);
        QCOMPARE(moved.count(), 2);
    }

    void comparesACompressedPicture() {
        const Toolchain tools = Toolchain::locate();
        if (!tools.pngquant) QSKIP("pngquant is not installed");
        presets->select(PresetLibrary::defaultID);
        AppModel model(*presets, tools, 2);
        CompareWindow window(model);
        model.add(std::vector{testing::writePng(media() / "photo.png")});
        CompressionItem* item = model.items().front();
        QTRY_VERIFY_WITH_TIMEOUT(item->result() != nullptr, 60000);
        QVERIFY2(item->result()->output, Format::statusLine(*item->result()).c_str());
        model.setCompareItemID(item->id());
        QCOMPARE(window.windowTitle(), QStringLiteral("photo.png"));
        QVERIFY(window.findChild<QLabel*>("compareInfoBar")->text().startsWith("尺寸 96×96"));
        QTRY_VERIFY_WITH_TIMEOUT(window.splitView()->hasPictures(), 10000);
        auto* zoomIn = window.findChild<QAction*>("compareZoomIn");
        QCOMPARE(zoomIn->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Equal));
        const double before = window.splitView()->zoom();
        zoomIn->trigger();
        QCOMPARE(window.splitView()->zoom(), before * 1.25);
        fs::remove(item->source());
        model.setCompareItemID(std::nullopt);
        model.setCompareItemID(item->id());
        QCOMPARE(window.findChild<QLabel*>("compareEmptyTitle")->text(), QStringLiteral("原图已移入废纸篓"));
    }

    // The compared item finishing again into the same file (new pixels, new sizes) is shown anew;
    // split and scale stay, as the comparison is the same.
    void followsTheItemRecompressedInPlace() {
        AppModel model(*presets, Toolchain{}, 2);
        CompareWindow window(model);
        model.add(std::vector{testing::writePng(media() / "again.png")});
        CompressionItem* item = model.items().front();
        QTRY_VERIFY_WITH_TIMEOUT(item->result() != nullptr, 60000);
        const fs::path output = media() / "again-min.png";
        const auto finish = [&](Qt::GlobalColor colour, std::int64_t bytes) {
            QImage picture(96, 96, QImage::Format_RGB32);
            picture.fill(colour);
            QVERIFY(picture.save(QString::fromStdString(output.string())));
            // Same size on disk: only the modification time tells the two files apart.
            fs::last_write_time(output, fs::file_time_type::clock::now() + std::chrono::seconds(bytes));
            CompressionResult result;
            result.status = CompressionResult::Success{};
            result.output = output;
            result.sourceBytes = 1000;
            result.outputBytes = bytes;
            item->setState(CompressionItem::Finished{result});
        };
        finish(Qt::red, 400);
        model.setCompareItemID(item->id());
        QTRY_COMPARE(window.splitView()->outputPicture().pixelColor(5, 5), QColor(Qt::red));
        window.splitView()->setSplit(0.25);
        finish(Qt::blue, 800);
        QTRY_COMPARE(window.splitView()->outputPicture().pixelColor(5, 5), QColor(Qt::blue));
        QVERIFY(window.findChild<QLabel*>("compareInfoBar")->text().contains(QString::fromStdString(Format::savings(0.2))));
        QCOMPARE(window.splitView()->split(), 0.25);
    }
};

int main(int argc, char** argv) {
    dorvex::app::testing::TestHome home;
    QApplication application(argc, argv);
    ViewsCompareWindowTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "ViewsCompareWindowTest.moc"
